#include "runtime/MyUtilStubs.h"

#include "platform/WideCRT.h"

namespace MyUtilStubs {

#define OSTREVAN_MYUTIL_DEFINE(var, name) T##var##Proc var = nullptr;
MYUTIL_ENTRY_POINTS(OSTREVAN_MYUTIL_DEFINE)
MYUTIL_OWN_ENTRY_POINTS(OSTREVAN_MYUTIL_DEFINE)
#undef OSTREVAN_MYUTIL_DEFINE

void MyUtilFixupStubs(const std::string& ALibName, Platform::HMODULE AHandle) {
#define OSTREVAN_MYUTIL_FIXUP(var, name) ::MyUtils::FixupStub(ALibName, AHandle, name, var, false);
  MYUTIL_ENTRY_POINTS(OSTREVAN_MYUTIL_FIXUP)
#undef OSTREVAN_MYUTIL_FIXUP
#define OSTREVAN_MYUTIL_OWN(var, fn) var = &fn;
  MYUTIL_OWN_ENTRY_POINTS(OSTREVAN_MYUTIL_OWN)
#undef OSTREVAN_MYUTIL_OWN
}

void MyUtilUnfixStubs() {
#define OSTREVAN_MYUTIL_UNFIX(var, name) var = nullptr;
  MYUTIL_ENTRY_POINTS(OSTREVAN_MYUTIL_UNFIX)
  MYUTIL_OWN_ENTRY_POINTS(OSTREVAN_MYUTIL_UNFIX)
#undef OSTREVAN_MYUTIL_UNFIX
}

int my_memcmp(const void* ABuf1, const void* ABuf2, Platform::Cardinal ALength) {
  if (ALength == 0) return 0;
  Platform::Check(ABuf1 != nullptr && ABuf2 != nullptr, "MyUtilStubs", 146);
  const auto* a = static_cast<const unsigned char*>(ABuf1);
  const auto* b = static_cast<const unsigned char*>(ABuf2);
  for (Platform::Cardinal i = 0; i < ALength; ++i)
    if (a[i] != b[i]) return a[i] > b[i] ? 1 : -1;
  return 0;
}

}  // namespace MyUtilStubs
