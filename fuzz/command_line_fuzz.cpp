// Fuzzes Main and the command line with arbitrary argv against a model of the option scan.
// SPDX-License-Identifier: MIT
//
// Input: byte 0 holds flags, byte 1 seeds the client's argument handler, the
// rest is argv, one argument per NUL-separated piece. A piece that starts with
// 0x01 and a count byte c becomes (c + 1) * 64 copies of what follows it, so
// short inputs still reach the length limits. The client's action operations
// only record that they ran: nothing here touches the system.
#include <ServiceApp.h>

#include <strings.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"

namespace {

enum Flags : uint8_t {
    kNameBeforeMain = 1 << 0,    // SetServiceName before Main
    kCustomBeforeMain = 1 << 1,  // SetCustomAction before Main
    kNoArguments = 1 << 2,       // argc 0 with argv = {nullptr}
    kOperationsFail = 1 << 3,    // the action operations report failure
    kSecondMain = 1 << 4,        // call Main a second time afterwards
};

// What the client's handler does with an argument that is no option.
enum class Verdict { kReject, kAccept, kAcceptAndCustom, kAcceptAndName };

constexpr const char* kNamePrefix = "-name=";

Verdict Decide(const char* argument, int index, uint8_t seed)
{
    if (strncmp(argument, kNamePrefix, strlen(kNamePrefix)) == 0) {
        return Verdict::kAcceptAndName;
    }
    uint32_t h = 2166136261u ^ seed ^ static_cast<uint32_t>(index);
    for (const char* p = argument; *p != '\0'; ++p) {
        h = (h ^ static_cast<uint8_t>(*p)) * 16777619u;
    }
    switch (h % 4) {
    case 0: return Verdict::kReject;
    case 1: return Verdict::kAcceptAndCustom;
    default: return Verdict::kAccept;
    }
}

// The option table written out again, independently of the library's.
int OptionAction(const char* argument)
{
    static const struct {
        const char* text;
        int action;
    } options[] = {{"-console", 1},   {"-help", 2},  {"-?", 2},   {"-install", 3},
                   {"-uninstall", 4}, {"-start", 5}, {"-stop", 6}};
    for (const auto& option : options) {
        if (strcasecmp(argument, option.text) == 0) {
            return option.action;
        }
    }
    return -1;
}

class FuzzApp : public CServiceApp {
public:
    uint8_t seed = 0;
    bool operationResult = true;
    char** argv = nullptr;
    std::vector<int> offered;  // indices offered to the handler, in order
    std::string called;        // the one action operation Main ran

    bool InstallService() override { return Record("install"); }
    bool UninstallService() override { return Record("uninstall"); }
    bool StartService() override { return Record("start"); }
    bool StopService() override { return Record("stop"); }
    bool RunAsService() override { return Record("service"); }
    bool RunAsConsole() override { return Record("console"); }
    bool DisplayUsage() override { return Record("usage"); }
    void RunCustom() override { Record("custom"); }
    void Run() override { FUZZ_CHECK(!"Run is reached only through the lifecycle"); }

    bool ParseCommandLineArgument(char* argument, int index) override
    {
        FUZZ_CHECK(argv != nullptr && index >= 1 && argument == argv[index]);
        FUZZ_CHECK(OptionAction(argument) < 0);
        FUZZ_CHECK(memchr(m_programPath, 0, sizeof(m_programPath)) != nullptr);
        offered.push_back(index);
        switch (Decide(argument, index, seed)) {
        case Verdict::kReject: return false;
        case Verdict::kAccept: return true;
        case Verdict::kAcceptAndCustom: SetCustomAction(); return true;
        case Verdict::kAcceptAndName: SetServiceName(argument + strlen(kNamePrefix)); return true;
        }
        return false;
    }

    bool Record(const char* what)
    {
        FUZZ_CHECK(called.empty());
        FUZZ_CHECK(GetServiceAppInstance() == this);
        called = what;
        return operationResult;
    }

    // A fixed-size field holds a terminated prefix of at most size - 1 bytes of
    // source (empty for null) followed only by NUL bytes.
    static void CheckField(const char* field, size_t size, const char* source)
    {
        size_t expected = source != nullptr ? strnlen(source, size - 1) : 0;
        FUZZ_CHECK(strnlen(field, size) == expected);
        FUZZ_CHECK(expected == 0 || memcmp(field, source, expected) == 0);
        for (size_t i = expected; i < size; ++i) {
            FUZZ_CHECK(field[i] == '\0');
        }
    }

    void CheckFields(const char* argv0, const char* name)
    {
        CheckField(m_programPath, sizeof(m_programPath), argv0);
        CheckField(m_serviceName, sizeof(m_serviceName), name);
        CheckField(m_registryName, sizeof(m_registryName), nullptr);
        CheckField(m_auxName, sizeof(m_auxName), nullptr);
        FUZZ_CHECK(m_rcSequence == 55);
    }
};

const char* kOperationFor[] = {"service",   "console", "usage", "install",
                               "uninstall", "start",   "stop",  "custom"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    const uint8_t flags = data[0];

    // Split into arguments; each keeps its own heap block so that an overread
    // past its terminator is caught by the address sanitizer.
    std::vector<std::string> pieces;
    const char* text = reinterpret_cast<const char*>(data + 2);
    size_t length = size - 2;
    for (size_t start = 0; start <= length;) {
        const char* end = static_cast<const char*>(memchr(text + start, 0, length - start));
        size_t n = end != nullptr ? static_cast<size_t>(end - (text + start)) : length - start;
        std::string piece(text + start, n);
        if (piece.size() >= 2 && piece[0] == '\x01') {
            size_t copies = (static_cast<uint8_t>(piece[1]) + 1u) * 64u;
            std::string unit = piece.substr(2).empty() ? std::string("A") : piece.substr(2);
            std::string huge;
            while (huge.size() < copies) {
                huge += unit;
            }
            piece = huge.substr(0, copies);
        }
        pieces.push_back(piece);
        start += n + 1;
    }
    if (pieces.size() > 64) {
        pieces.resize(64);
    }

    std::vector<char*> argv;
    if (!(flags & kNoArguments)) {
        for (const std::string& piece : pieces) {
            char* arg = new char[piece.size() + 1];
            memcpy(arg, piece.c_str(), piece.size() + 1);
            argv.push_back(arg);
        }
    }
    const int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);

    // The model: the action and the name the scan must end with, and the
    // arguments it must offer to the handler.
    int expectedAction = (flags & kCustomBeforeMain) ? eActionCustom : eActionRunService;
    const char* expectedName = (flags & kNameBeforeMain) ? "fuzzsvc" : nullptr;
    std::vector<int> expectedOffered;
    bool refused = false;  // Main then shows the usage and returns -3
    for (int i = 1; i < argc; ++i) {
        int action = OptionAction(argv[i]);
        if (action >= 0) {
            expectedAction = action;
            continue;
        }
        expectedOffered.push_back(i);
        Verdict verdict = Decide(argv[i], i, data[1]);
        if (verdict == Verdict::kReject) {
            expectedAction = eActionUsage;
            refused = true;
            break;
        }
        if (verdict == Verdict::kAcceptAndCustom) {
            expectedAction = eActionCustom;
        } else if (verdict == Verdict::kAcceptAndName) {
            expectedName = argv[i] + strlen(kNamePrefix);
        }
    }

    {
        FuzzApp app;
        app.seed = data[1];
        app.operationResult = !(flags & kOperationsFail);
        app.argv = argv.data();
        if (flags & kNameBeforeMain) {
            app.SetServiceName("fuzzsvc");
        }
        if (flags & kCustomBeforeMain) {
            app.SetCustomAction();
        }
        FUZZ_CHECK(CBaseServiceApp::GetServiceAppInstance() == nullptr);

        int result = app.Main(argc, argv.data());

        FUZZ_CHECK(CBaseServiceApp::GetServiceAppInstance() == &app);
        FUZZ_CHECK(app.GetAction() == expectedAction);
        FUZZ_CHECK(app.offered == expectedOffered);
        FUZZ_CHECK(app.CheckServiceNameSet() == (expectedName != nullptr));
        app.CheckFields(argc > 0 ? argv[0] : nullptr, expectedName);
        if (expectedName == nullptr) {
            FUZZ_CHECK(result == -2 && app.called.empty());
        } else {
            FUZZ_CHECK(app.called == kOperationFor[expectedAction]);
            bool ok = expectedAction == eActionCustom || app.operationResult;
            FUZZ_CHECK(result == (refused ? -3 : ok ? 0 : -5));
        }
        if (flags & kSecondMain) {
            app.called.clear();
            FUZZ_CHECK(app.Main(argc, argv.data()) == -1 && app.called.empty());
        }
    }
    // The object unregistered itself on the way out.
    FUZZ_CHECK(CBaseServiceApp::GetServiceAppInstance() == nullptr);

    for (char* arg : argv) {
        delete[] arg;
    }
    return 0;
}
