#pragma once
// Puts the stand-in msiexec (tests/tools/qln_fake_msiexec) in place of the
// system's for the lifetime of the object: both launches of
// QLNWindowsInstaller start bin\qln_fake_msiexec.exe with the product's own
// command line, and the stand-in reads a control file of this object's
// (through QLN_FAKE_MSIEXEC_CONTROL, which children inherit).
//
//   qlntest::FakeMsiexec msiexec;
//   msiexec.Script({"exit=3010"});
//   ... run the code under test ...
//   EXPECT_EQ(msiexec.CommandLines().size(), 1u);
//
// Control keys: see tests/tools/qln_fake_msiexec/main.cpp (exit, hang,
// delay_ms, admin_tree, log_text).

#include "support/ScopedSeam.h"
#include "support/TestSupport.h"

#include "QLNUpgrade/KM/Upgrade/QLNWindowsInstaller.h"

#include <string>
#include <vector>

namespace qlntest {

class FakeMsiexec {
public:
    FakeMsiexec();
    ~FakeMsiexec();
    FakeMsiexec(const FakeMsiexec&) = delete;
    FakeMsiexec& operator=(const FakeMsiexec&) = delete;

    // Replaces the control file by these "key=value" lines.
    void Script(const std::vector<std::string>& lines);
    // Command lines of every run so far (UTF-8), oldest first.
    std::vector<std::string> CommandLines() const;
    // Full path of the stand-in program.
    std::wstring Program() const { return m_program; }

private:
    TempDir m_dir;
    std::wstring m_program;
    std::wstring m_control;
    ScopedSeam<const wchar_t*> m_seam{qln::seams::g_msiexecProgram, m_program.c_str()};
};

}  // namespace qlntest
