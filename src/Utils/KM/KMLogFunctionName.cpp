#include "Utils/KM/KMLog.h"

#include <string>

namespace km::log {

namespace {

void EraseAll(std::string& s, const std::string& what) {
    for (size_t pos = s.find(what); pos != std::string::npos; pos = s.find(what, pos)) s.erase(pos, what.size());
}

// Takes "ret Scope::Name(params) const" and returns "Scope::Name".
std::string NameOfSignature(const std::string& sig) {
    const size_t close = sig.rfind(')');
    if (close == std::string::npos) return sig;
    int depth = 0;
    size_t open = std::string::npos;
    for (size_t i = close + 1; i-- > 0;) {
        if (sig[i] == ')') ++depth;
        else if (sig[i] == '(' && --depth == 0) {
            open = i;
            break;
        }
    }
    if (open == std::string::npos || open == 0) return sig;
    // Walk back over the name; template arguments may contain blanks.
    int angle = 0;
    size_t begin = 0;
    for (size_t i = open; i-- > 0;) {
        const char c = sig[i];
        if (c == '>') ++angle;
        else if (c == '<') --angle;
        else if ((c == ' ' || c == '*' || c == '&') && angle == 0) {
            begin = i + 1;
            break;
        }
    }
    return sig.substr(begin, open - begin);
}

}  // namespace

std::string FunctionName(const char* compilerText) {
    if (!compilerText) return {};
    std::string s(compilerText);
    // MSVC's __FUNCTION__ is already the qualified name.
    if (s.find('(') == std::string::npos) return s;
    EraseAll(s, "(anonymous namespace)::");
    EraseAll(s, "{anonymous}::");
    const size_t with = s.find(" [with ");
    if (with != std::string::npos) s.erase(with);
    const size_t lambda = s.find("::<lambda(");
    if (lambda != std::string::npos) return NameOfSignature(s.substr(0, lambda)) + "::<lambda_1>::operator ()";
    return NameOfSignature(s);
}

}  // namespace km::log
