#include "e2e_support.h"

#include <windows.h>

#include <cstdio>
#include <vector>

#include "simctl_public.h"

namespace e2e {
namespace {

Options g_options;
simctl::SimControl g_control;

// Loads the simulator driver before the first test and unloads it after the last, so that a
// run leaves no service behind even when tests fail.
class SimDriverEnvironment final : public ::testing::Environment {
  public:
    void SetUp() override {
        std::string error;
        const simctl::DriverService service{simctl::kServiceName, g_options.simDriver,
                                            g_options.group};
        ASSERT_TRUE(driver_.Load(service, &error))
            << "loading " << g_options.simDriver << ": " << error;
        ASSERT_TRUE(g_control.Open())
            << "opening " << simctl::kControlPath << ": error " << g_control.last_error();
    }
    void TearDown() override {
        g_control = simctl::SimControl();
        std::string error;
        EXPECT_TRUE(driver_.Unload(&error)) << error;
    }

  private:
    simctl::LoadedDriver driver_;
};

}  // namespace

std::string WindowsPath(const std::string& path) {
    if (path.size() >= 2 && path[1] == ':') return path;
    std::string out = path.empty() || path[0] != '/' ? path : "Z:" + path;
    for (char& c : out)
        if (c == '/') c = '\\';
    return out;
}

const Options& GetOptions() {
    return g_options;
}

int Main(int argc, char** argv, const char* group) {
    ::testing::InitGoogleTest(&argc, argv);
    g_options.simDriver =
        argc > 1 ? WindowsPath(argv[1]) : simctl::ProgramDirectory() + simctl::kDriverFile;
    g_options.group = group ? group : "";
    ::testing::AddGlobalTestEnvironment(new SimDriverEnvironment);
    return RUN_ALL_TESTS();
}

simctl::SimControl& Control() {
    return g_control;
}

std::unique_ptr<sim::SimPopulation> EmptyPopulation() {
    auto pop = std::make_unique<sim::SimPopulation>();
    sim::ClearPopulation(*pop);
    return pop;
}

void SimTest::TearDown() {
    auto pop = std::make_unique<sim::SimPopulation>();
    EXPECT_TRUE(Control().ReadPopulation(*pop))
        << "the simulator driver no longer answers (error " << Control().last_error()
        << "); see the driver log for a crash of winedevice.exe";
}

void SimTest::Load(const sim::SimPopulation& pop) {
    ASSERT_TRUE(Control().LoadPopulation(pop)) << "error " << Control().last_error();
}

namespace {

bool Settled(const sim::SimPopulation& pop) {
    for (const sim::SimAdapter& a : pop.adapters)
        if (a.counters.opens != a.counters.closes) return false;
    return pop.legacyCounters.opens == pop.legacyCounters.closes;
}

}  // namespace

std::unique_ptr<sim::SimPopulation> SimTest::ReadBack() {
    auto pop = std::make_unique<sim::SimPopulation>();
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (!Control().ReadPopulation(*pop)) {
            ADD_FAILURE() << "reading the population back: error " << Control().last_error();
            break;
        }
        if (Settled(*pop)) break;
        Sleep(20);
    }
    return pop;
}

ChildResult RunProgram(const std::string& commandLine, DWORD timeoutMs) {
    ChildResult result;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return result;
    simctl::ScopedHandle reader(readEnd), writer(writeEnd);
    SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writer.get();
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION info{};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &info))
        return result;
    result.started = true;
    simctl::ScopedHandle process(info.hProcess), thread(info.hThread);
    writer.reset();  // the child holds the only write end now: its exit ends the reads

    const DWORD deadline = GetTickCount() + timeoutMs;
    char chunk[4096];
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(reader.get(), nullptr, 0, nullptr, &available, nullptr)) {
            // A pipe whose only writer has ended is broken: the child is gone or going.
            const DWORD left =
                static_cast<LONG>(deadline - GetTickCount()) > 0 ? deadline - GetTickCount() : 0;
            if (WaitForSingleObject(process.get(), left) == WAIT_OBJECT_0) {
                result.finished = true;
                GetExitCodeProcess(process.get(), &result.exitCode);
            } else {
                TerminateProcess(process.get(), 255);
            }
            break;
        }
        if (available) {
            DWORD got = 0;
            if (!ReadFile(reader.get(), chunk, sizeof chunk, &got, nullptr) || got == 0) break;
            result.output.append(chunk, got);
            continue;
        }
        if (WaitForSingleObject(process.get(), 20) == WAIT_OBJECT_0) {
            // Drain what the child wrote just before it ended.
            while (PeekNamedPipe(reader.get(), nullptr, 0, nullptr, &available, nullptr) &&
                   available) {
                DWORD got = 0;
                if (!ReadFile(reader.get(), chunk, sizeof chunk, &got, nullptr) || got == 0) break;
                result.output.append(chunk, got);
            }
            result.finished = true;
            GetExitCodeProcess(process.get(), &result.exitCode);
            break;
        }
        if (static_cast<LONG>(GetTickCount() - deadline) >= 0) {
            TerminateProcess(process.get(), 255);
            break;
        }
    }
    return result;
}

std::map<std::string, std::string> ParseReport(const std::string& text) {
    std::map<std::string, std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t eq = line.find('=');
        if (eq == std::string::npos) {
            out[""] += line + "\n";
        } else {
            out[line.substr(0, eq)] = line.substr(eq + 1);
        }
        start = end + 1;
    }
    return out;
}

}  // namespace e2e
