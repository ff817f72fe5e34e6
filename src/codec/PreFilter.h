// The sixth-order recursive low-pass filter that 16-bit 44.1 kHz input passes before it is
// decimated to about 8 kHz. Exact integer arithmetic: 64-bit products, divisions that
// truncate toward zero; any correct build gives the same numbers bit for bit.
//
// Every conversion owns its own state, so two conversions can run side by side.
#pragma once

#include <cstdint>

struct TPreFilter {
  // Index 0 is the newest entry, 6 the one six steps back. The outputs are kept at a scale
  // 32768 times finer than the value returned.
  int16_t In[7] = {};
  int64_t Out[7] = {};
};

// Clears both histories.
void ResetPreFilter(TPreFilter& f);

// Advances the filter by one input sample and returns the new filtered value. It can leave
// the 16-bit range (steady gain about 1.341, overshoot on steps): the caller narrows it.
inline int32_t PreFilterSample(TPreFilter& f, int16_t x) {
  // Feed-forward b(0..6) and feedback a(1..6); a(0) is the scale 2048.
  constexpr int64_t b0 = 1373, b1 = 8240, b2 = 20600, b3 = 27467, b4 = 20600, b5 = 8240,
                    b6 = 1373;
  constexpr int64_t a1 = -10662, a2 = 24009, a3 = -29855, a4 = 21592, a5 = -8608, a6 = 1478;
  for (int k = 6; k > 0; --k) {
    f.In[k] = f.In[k - 1];
    f.Out[k] = f.Out[k - 1];
  }
  f.In[0] = x;
  int64_t acc = b0 * f.In[0];
  acc += b1 * f.In[1] - a1 * f.Out[1];
  acc += b2 * f.In[2] - a2 * f.Out[2];
  acc += b3 * f.In[3] - a3 * f.Out[3];
  acc += b4 * f.In[4] - a4 * f.Out[4];
  acc += b5 * f.In[5] - a5 * f.Out[5];
  acc += b6 * f.In[6] - a6 * f.Out[6];
  f.Out[0] = acc / 2048;  // C++ division truncates toward zero, as required
  return static_cast<int32_t>(f.Out[0] / 32768);
}
