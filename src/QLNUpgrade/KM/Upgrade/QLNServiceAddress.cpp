#include "QLNUpgrade/KM/Upgrade/QLNServiceAddress.h"

#ifndef QLN_SERVICE_HOST
#define QLN_SERVICE_HOST L"https://code.quillon.example"
#endif

namespace qln {

const wchar_t kServiceHost[] = QLN_SERVICE_HOST;
const wchar_t kVersionServiceAddress[] = QLN_SERVICE_HOST L"/api/web/corvid/quillon/upgrade";

}  // namespace qln
