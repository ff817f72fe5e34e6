// Class-library stand-ins: streams (file and memory) and the component base with owner,
// name, the being-destroyed state and free notification.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum TSeekOrigin { soBeginning = 0, soCurrent = 1, soEnd = 2 };

// A stream of bytes: read, write, seek and set size are the operations everything else
// builds on. Read and Write return the bytes moved; errors of the medium raise.
class TStream {
 public:
  virtual ~TStream() = default;
  virtual int32_t Read(void* buffer, int32_t count) = 0;
  virtual int32_t Write(const void* buffer, int32_t count) = 0;
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual void SetSize(int64_t newSize) = 0;

  int64_t GetPosition() { return Seek(0, soCurrent); }
  void SetPosition(int64_t pos) { Seek(pos, soBeginning); }
  int64_t GetSize();
  // Exact transfers: fewer bytes raise EReadError / EWriteError.
  void ReadBuffer(void* buffer, int32_t count);
  void WriteBuffer(const void* buffer, int32_t count);
};

// Open modes of a file stream.
enum : uint16_t {
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmShareDenyWrite = 0x0020,
  fmCreate = 0xFF00,
};

// A stream on a named file. fmCreate creates or replaces the file ("Cannot create file
// %s" on failure); otherwise the file is opened ("Cannot open file %s"). With
// fmShareDenyWrite, every attempt of the program to open the file for writing fails while
// this stream lives. The name is resolved whatever its letter case (ResolveFileName), and a
// file without any write permission bit is never written, root included.
class TFileStream : public TStream {
 public:
  TFileStream(const std::string& fileName, uint16_t mode);
  ~TFileStream() override;
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t newSize) override;
  const std::string& FileName() const { return FFileName; }
  // The system's error number of the last write that failed (ENOSPC for a full disk), 0
  // while none has.
  int LastWriteError() const { return FWriteError; }

 private:
  std::string FFileName;
  int FFd = -1;
  int64_t FPosition = 0;  // where the next read or write goes
  int FWriteError = 0;
};

// A stream held in memory.
class TMemoryStream : public TStream {
 public:
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t newSize) override;
  const std::vector<uint8_t>& Data() const { return FData; }
  std::vector<uint8_t>& Data() { return FData; }

 private:
  std::vector<uint8_t> FData;
  int64_t FPosition = 0;
};

enum TOperation { opInsert, opRemove };

// The component base: an owner that frees what it owns, a name, the being-destroyed state,
// and free notification (a component told when another one it links to goes away).
//
// C++ runs the most derived destructor first, so a class that must know it is being
// destroyed (to stay silent while it closes down) calls Destroying() at the top of its own
// destructor; the base destructor calls it too for everything else.
class TComponent {
 public:
  explicit TComponent(TComponent* owner = nullptr);
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;
  virtual ~TComponent();

  TComponent* GetOwner() const { return FOwner; }
  const std::string& GetName() const { return FName; }
  void SetName(const std::string& name) { FName = name; }
  int GetComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* GetComponent(int i) const { return FComponents[static_cast<size_t>(i)]; }

  bool IsDestroying() const { return FDestroying; }
  void Destroying() { FDestroying = true; }

  // Asks to be told (Notification with opRemove) when component goes away.
  void FreeNotification(TComponent* component);
  void RemoveFreeNotification(TComponent* component);

 protected:
  virtual void Notification(TComponent* component, TOperation operation);

 private:
  void InsertComponent(TComponent* c);
  void RemoveComponent(TComponent* c);

  TComponent* FOwner = nullptr;
  std::string FName;
  bool FDestroying = false;
  std::vector<TComponent*> FComponents;
  std::vector<TComponent*> FFreeNotifies;
};
