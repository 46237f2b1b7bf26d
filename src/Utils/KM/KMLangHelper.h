#pragma once
// Language modules of the installed product.

class KMLangHelper {
public:
    // Loads the language module of the configured language, when one exists.
    static void LoadLanguageDll();
};
