#include "app/Platform.h"

bool QueryNativeMachine(USHORT* nativeMachine) noexcept { return QuerySystemNativeMachine(nativeMachine); }
