#include "codec/PreFilter.h"

void ResetPreFilter(TPreFilter& f) { f = TPreFilter{}; }
