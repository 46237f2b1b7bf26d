#include "Utils/KM/KMAutoStartHelper.h"

#include "Utils/KM/KMLog.h"

void KMAutoStartHelper::RegisterCurrentExe() {
    // Not supported by this build yet: the daemon does not register itself,
    // and leaves any existing registration alone.
    KM_LOG_DEBUG(L"Auto-start registration is not available in this build yet; skipping");
}
