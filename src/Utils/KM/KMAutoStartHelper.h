#pragma once
// Registration of the daemon for start at logon.

class KMAutoStartHelper {
public:
    static void RegisterCurrentExe();
};
