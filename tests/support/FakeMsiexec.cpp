#include "support/FakeMsiexec.h"

#include "Utils/StringConv.h"

#include <gtest/gtest.h>

#include <sstream>

namespace qlntest {

FakeMsiexec::FakeMsiexec()
    : m_program(BinDir() + L"qln_fake_msiexec.exe"), m_control((m_dir.path() / L"msiexec.control").wstring()) {
    Script({});
    ::SetEnvironmentVariableW(L"QLN_FAKE_MSIEXEC_CONTROL", m_control.c_str());
}

FakeMsiexec::~FakeMsiexec() {
    ::SetEnvironmentVariableW(L"QLN_FAKE_MSIEXEC_CONTROL", nullptr);
}

void FakeMsiexec::Script(const std::vector<std::string>& lines) {
    std::string text = "record=" + qln::WideToUtf8((m_dir.path() / L"commands.log").wstring()) + "\n";
    for (const auto& line : lines) text += line + "\n";
    WriteFileBytes(m_control, text);
}

std::vector<std::string> FakeMsiexec::CommandLines() const {
    std::vector<std::string> lines;
    std::istringstream in(ReadFileBytes(m_dir.path() / L"commands.log"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace qlntest
