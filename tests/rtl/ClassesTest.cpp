#include <gtest/gtest.h>

#include "TempDir.h"
#include "rtl/ByteFile.h"
#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

namespace {

TEST(Streams, MemoryStreamReadWriteSeekAndSetSize) {
  TMemoryStream m;
  EXPECT_EQ(m.Write("abcdef", 6), 6);
  EXPECT_EQ(m.GetPosition(), 6);
  EXPECT_EQ(m.Seek(2, soBeginning), 2);
  char buf[10] = {};
  EXPECT_EQ(m.Read(buf, 10), 4);
  EXPECT_EQ(std::string(buf, 4), "cdef");
  EXPECT_EQ(m.Seek(-3, soCurrent), 3);
  EXPECT_EQ(m.Seek(0, soEnd), 6);
  m.SetSize(2);
  EXPECT_EQ(m.GetPosition(), 2);
  EXPECT_EQ(m.GetSize(), 2);
  m.Seek(5, soBeginning);
  m.Write("Z", 1);  // writing past the end fills the gap with zeros
  EXPECT_EQ(m.GetSize(), 6);
  EXPECT_EQ(m.Data()[3], 0);
  EXPECT_THROW(m.ReadBuffer(buf, 10), EReadError);
}

TEST(Streams, FileStreamErrorsNameTheFile) {
  TempDir dir;
  try {
    TFileStream s(dir.Path("missing.wav"), fmOpenRead | fmShareDenyWrite);
    FAIL();
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file " + dir.Path("missing.wav"));
  }
  try {
    TFileStream s(dir.Path("no/folder.wav"), fmCreate);
    FAIL();
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.Message(), "Cannot create file " + dir.Path("no/folder.wav"));
  }
  EXPECT_THROW(TFileStream("", fmCreate), EFCreateError);
}

TEST(Streams, CreateReplacesAndDenyWriteKeepsWritersOut) {
  TempDir dir;
  std::string p = dir.Write("take.wav", std::string(500, 'x'));
  {
    TFileStream s(p, fmCreate);
    EXPECT_EQ(s.GetSize(), 0);
    s.WriteBuffer("RIFF", 4);
  }
  EXPECT_EQ(dir.Read("take.wav"), "RIFF");
  {
    TFileStream reader(p, fmOpenRead | fmShareDenyWrite);
    TFileStream second(p, fmOpenRead | fmShareDenyWrite);  // readers share
    TByteFile writer(p);
    try {
      writer.Rewrite();
      FAIL() << "a writer got in while a reader denied writing";
    } catch (const EInOutError& e) {
      EXPECT_EQ(e.ErrorCode, ioSharingViolation);
    }
    EXPECT_THROW(TFileStream(p, fmCreate), EFCreateError);
  }
  TByteFile writer(p);
  writer.Rewrite();  // free again once the readers are gone
  writer.Close();
}

struct Probe : TComponent {
  using TComponent::TComponent;
  std::vector<TComponent*> removed;
  bool destroyingSeen = false;
  TComponent* link = nullptr;
  void Notification(TComponent* c, TOperation op) override {
    TComponent::Notification(c, op);
    if (op == opRemove) {
      removed.push_back(c);
      if (c == link) link = nullptr;
    }
  }
};

TEST(Component, OwnerFreesOwnedAndFreeNotificationClearsLinks) {
  Probe watcher;
  auto* owner = new Probe;
  auto* child = new Probe(owner);
  child->SetName("child");
  EXPECT_EQ(child->GetOwner(), owner);
  EXPECT_EQ(owner->GetComponentCount(), 1);
  watcher.link = child;
  watcher.FreeNotification(child);
  delete owner;  // frees child, which tells the watcher
  EXPECT_EQ(watcher.link, nullptr);
  ASSERT_EQ(watcher.removed.size(), 1u);
}

TEST(Component, RemovedFreeNotificationIsNotCalled) {
  Probe watcher;
  auto* other = new Probe;
  watcher.FreeNotification(other);
  watcher.RemoveFreeNotification(other);
  delete other;
  EXPECT_TRUE(watcher.removed.empty());
  // A watcher that goes first must not be called by a component that outlives it.
  auto* w2 = new Probe;
  Probe survivor;
  w2->FreeNotification(&survivor);
  delete w2;
  EXPECT_FALSE(survivor.IsDestroying());
}

}  // namespace
