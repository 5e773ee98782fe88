// Fuzzes the install-time checks of service names and program paths and the filling of the init scripts and the unit.
// SPDX-License-Identifier: MIT
//
// Input: byte 0 picks the distribution (values outside 0..7 included), byte 1
// the output buffer size and the name field size, then the name, a NUL, and
// the program path. Every buffer handed to the code under test is a heap
// block of exactly the size it is told, so the address sanitizer sees any
// access past it.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "unix/InitScripts.h"
#include "unix/InstallChecks.h"
#include "unix/UnitFile.h"

namespace {

constexpr size_t kMaxNameLength = 240;
constexpr size_t kPathFieldSize = 1024;

// Bytes that must never reach a file name: separators, whitespace and
// control bytes, and everything the shell quotes, expands, globs or treats
// as an operator or comment. Bytes from 0x80 up are refused too: a name the
// shell and the init tools may see differently in another locale is no name.
bool IsRefusedInName(unsigned char c)
{
    return c <= 0x20 || c >= 0x7f || strchr("/\\$`\"';&|<>()*?[]{}!#~%", c) != nullptr;
}

// Bytes that must never reach an unquoted word of a shell script (the path is
// written as SVC_BIN=PATH and used as $DAEMON): whitespace and control bytes
// (field splitting, a new command), quoting, expansion, substitution,
// globbing, redirection, operators and comments.
bool IsRefusedInPath(unsigned char c)
{
    return c < 0x20 || c == 0x7f || strchr(" \\$`\"';&|<>()*?[]{}#~", c) != nullptr;
}

void CheckAcceptedName(const char* field, size_t fieldSize)
{
    const char* end = static_cast<const char*>(memchr(field, 0, fieldSize));
    FUZZ_CHECK(end != nullptr);
    size_t length = static_cast<size_t>(end - field);
    FUZZ_CHECK(length >= 1 && length <= kMaxNameLength);
    for (size_t i = 0; i < length; ++i) {
        FUZZ_CHECK(!IsRefusedInName(static_cast<unsigned char>(field[i])));
    }
    // Not an option to the tools that see it, not hidden from them (the
    // installer's temporary files are the dot files), not "." or "..".
    FUZZ_CHECK(field[0] != '-' && field[0] != '.');
}

void CheckAcceptedPath(const char* path)
{
    size_t length = strlen(path);
    FUZZ_CHECK(length < kPathFieldSize);
    for (size_t i = 0; i < length; ++i) {
        FUZZ_CHECK(!IsRefusedInPath(static_cast<unsigned char>(path[i])));
    }
}

// The script expected from plain substitution: the template with each "%s"
// replaced by the next argument, every other byte kept.
bool Substitute(const char* tmpl, const std::vector<const char*>& args, std::string& out)
{
    size_t next = 0;
    for (const char* p = tmpl; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] == 's') {
            if (next == args.size()) {
                return false;
            }
            out += args[next++];
            ++p;
        } else {
            FUZZ_CHECK(p[0] != '%');  // no conversion besides %s in a template
            out += *p;
        }
    }
    return next == args.size();
}

std::vector<const char*> ArgumentsFor(int distribution, const char* name, const char* path)
{
    switch (distribution) {
    case eDistRedHat:
    case eDistCentOS:
    case eDistOracle:
    case eDistUbuntu:
    case eDistDebian: return {name, name, path, name, name};
    case eDistSuSE: return {name, name, path, name};
    default: return {};
    }
}

// Fills into a heap block of exactly size bytes and checks the result
// against the expected script.
void CheckFill(int distribution, const char* name, const char* path, const std::string* expected, size_t size)
{
    char* out = size > 0 ? new char[size] : nullptr;
    int result =
        serviceapp::FillInitScript(static_cast<eLinuxDistribution>(distribution), name, path, out, size);
    if (expected == nullptr || expected->size() + 1 > size) {
        FUZZ_CHECK(result == -1);
    } else {
        FUZZ_CHECK(result == static_cast<int>(expected->size()));
        FUZZ_CHECK(memcmp(out, expected->data(), expected->size() + 1) == 0);
    }
    delete[] out;
}

// The unit for an accepted name and path, filled into a heap block of
// exactly size bytes: a marker line naming the service, then only known
// lines, and an ExecStart= that systemd reads back as exactly the path (no
// specifier, no byte that is not ASCII, no line break of its own).
void CheckUnit(const char* name, const char* path, size_t size)
{
    char* out = size > 0 ? new char[size] : nullptr;
    int length = serviceapp::FillUnitFile(name, path, out, size);
    if (length < 0) {
        char big[8192];
        FUZZ_CHECK(serviceapp::FillUnitFile(name, path, big, sizeof(big)) >= static_cast<int>(size));
        delete[] out;
        return;
    }
    const std::string unit(out, static_cast<size_t>(length));
    FUZZ_CHECK(out[length] == '\0' && static_cast<size_t>(length) < size);
    const std::string marker = "# Written by serviceapp for " + std::string(name) + ":";
    FUZZ_CHECK(unit.compare(0, marker.size(), marker) == 0);
    size_t at = unit.find("\nExecStart=");
    FUZZ_CHECK(at != std::string::npos);
    std::string read;
    for (size_t i = at + 11; unit[i] != '\n'; ++i) {
        unsigned char c = static_cast<unsigned char>(unit[i]);
        FUZZ_CHECK(c >= 0x20 && c < 0x7f);
        if (c == '%') {
            FUZZ_CHECK(unit[++i] == '%');
        } else if (c == '\\') {
            FUZZ_CHECK(unit[i + 1] == 'x');
            c = static_cast<unsigned char>(std::stoi(unit.substr(i + 2, 2), nullptr, 16));
            FUZZ_CHECK(c >= 0x80);
            i += 3;
        }
        read += static_cast<char>(c);
    }
    FUZZ_CHECK(read == path);
    FUZZ_CHECK(std::count(unit.begin(), unit.end(), '\n') == 13);
    delete[] out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    const int distribution = static_cast<int8_t>(data[0]) % 10;  // -9 .. 9
    const uint8_t sizeSelector = data[1];
    const char* text = reinterpret_cast<const char*>(data + 2);
    const size_t length = size - 2;
    const char* split = static_cast<const char*>(memchr(text, 0, length));
    const size_t nameLength = split != nullptr ? static_cast<size_t>(split - text) : length;
    const std::string name(text, nameLength);
    const std::string path = split != nullptr ? std::string(split + 1, length - nameLength - 1) : "";
    // Embedded NULs end the path where C code would see it end.
    const std::string cPath(path.c_str());

    // The name as the object stores it: a 256-byte NUL-padded field.
    {
        char* field = new char[256]();
        memcpy(field, name.data(), std::min<size_t>(name.size(), 255));
        if (serviceapp::IsValidServiceName(field, 256)) {
            CheckAcceptedName(field, 256);
        }
        delete[] field;
    }
    // The raw bytes as a field of their own size, possibly without a
    // terminator, which must be refused without reading past the field.
    if (nameLength > 0) {
        char* field = new char[nameLength];
        memcpy(field, name.data(), nameLength);
        if (serviceapp::IsValidServiceName(field, nameLength)) {
            CheckAcceptedName(field, nameLength);
        }
        delete[] field;
    }

    char* pathCopy = new char[cPath.size() + 1];
    memcpy(pathCopy, cPath.c_str(), cPath.size() + 1);
    if (serviceapp::IsSafeProgramPath(pathCopy)) {
        CheckAcceptedPath(pathCopy);
    }
    delete[] pathCopy;

    // Filling is plain substitution whatever the bytes are: a name or path
    // holding "%n" or "%s" is written as it stands.
    const std::string cName(name.c_str());
    const char* tmpl = serviceapp::InitScriptTemplate(static_cast<eLinuxDistribution>(distribution));
    std::vector<const char*> args = ArgumentsFor(distribution, cName.c_str(), cPath.c_str());
    FUZZ_CHECK(tmpl == nullptr || !args.empty());  // none for fedora and unknown values
    std::string expected;
    if (tmpl != nullptr) {
        FUZZ_CHECK(Substitute(tmpl, args, expected));
        FUZZ_CHECK(!expected.empty() && expected.back() == '\n');
    }
    const std::string* want = tmpl != nullptr ? &expected : nullptr;
    CheckFill(distribution, cName.c_str(), cPath.c_str(), want, expected.size() + 1);
    CheckFill(distribution, cName.c_str(), cPath.c_str(), want, expected.size());
    CheckFill(distribution, cName.c_str(), cPath.c_str(), want, sizeSelector * 37u);
    if (serviceapp::IsValidServiceName(cName.c_str(), cName.size() + 1) &&
        serviceapp::IsSafeProgramPath(cPath.c_str())) {
        CheckUnit(cName.c_str(), cPath.c_str(), 8192);
        CheckUnit(cName.c_str(), cPath.c_str(), sizeSelector * 17u);
    }
    return 0;
}
