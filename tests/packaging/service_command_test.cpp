// The installer custom action's rules: what it accepts as its data and the command line it
// gives the service.
#include "custom_actions/service_command.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring CommandLine(const std::wstring& program, size_t capacity = 256) {
    std::wstring out(capacity, L'#');
    const size_t n =
        halv_service_command_line(program.data(), program.size(), out.data(), capacity);
    if (n == 0) return L"<does not fit>";
    EXPECT_EQ(out[n], L'\0') << "not terminated";
    return out.substr(0, n);
}

size_t Bar(const std::wstring& data) {
    return halv_service_request_bar(data.data(), data.size());
}

TEST(ServiceCommandLine, APathWithABlankIsQuotedAsTheProgramsOwnInstallDoes) {
    EXPECT_EQ(CommandLine(L"C:\\Program Files\\Torvale\\HALV\\Vexmond.exe"),
              L"\"C:\\Program Files\\Torvale\\HALV\\Vexmond.exe\"");
    EXPECT_EQ(CommandLine(L"C:\\a b"), L"\"C:\\a b\"");
}

TEST(ServiceCommandLine, APathWithoutBlankOrAlreadyQuotedStaysAsItIs) {
    EXPECT_EQ(CommandLine(L"C:\\HALV\\Vexmond.exe"), L"C:\\HALV\\Vexmond.exe");
    EXPECT_EQ(CommandLine(L"\"C:\\Program Files\\x.exe\""), L"\"C:\\Program Files\\x.exe\"");
    // A lone quote character is no quoting: the blank still needs a pair around the path.
    EXPECT_EQ(CommandLine(L"\"C:\\a b"), L"\"\"C:\\a b\"");
}

TEST(ServiceCommandLine, ALineThatDoesNotFitIsRefusedNotCut) {
    // "a b" quoted is 5 characters and its NUL a sixth.
    EXPECT_EQ(CommandLine(L"a b", 6), L"\"a b\"");
    EXPECT_EQ(CommandLine(L"a b", 5), L"<does not fit>");
    EXPECT_EQ(CommandLine(L"ab", 3), L"ab");
    EXPECT_EQ(CommandLine(L"ab", 2), L"<does not fit>");
}

TEST(ServiceCommandRequest, NameAndProgramAreSplitAtTheBar) {
    const std::wstring data = L"Vexmond|C:\\Program Files\\V.exe";
    EXPECT_EQ(Bar(data), 7u);
    // Only the given length counts: a bar beyond it is not seen.
    EXPECT_EQ(halv_service_request_bar(L"Vexmond|C:\\V.exe|x", 16), 7u);
}

TEST(ServiceCommandRequest, MalformedDataIsRefused) {
    for (const wchar_t* data : {L"", L"Vexmond", L"|C:\\V.exe", L"Vexmond|", L"|", L"a|b|c"})
        EXPECT_EQ(Bar(data), 0u) << data;
}

// The dependencies as ChangeServiceConfig takes them, each name NUL-terminated, the list too.
std::wstring Dependencies(const std::wstring& services, const std::wstring& groups,
                          size_t capacity = 64, bool noServices = false, bool noGroups = false) {
    std::wstring out(capacity, L'#');
    const size_t n =
        halv_service_dependencies(noServices ? nullptr : services.c_str(),
                                  noGroups ? nullptr : groups.c_str(), out.data(), capacity);
    return n == 0 ? L"<does not fit>" : out.substr(0, n);
}

TEST(ServiceDependencies, ServicesThenGroupsWithTheirMark) {
    using namespace std::string_literals;
    EXPECT_EQ(Dependencies(L"RPCSS\0"s, L""), L"RPCSS\0\0"s);
    EXPECT_EQ(Dependencies(L"RPCSS\0Eventlog\0"s, L"Base\0"s), L"RPCSS\0Eventlog\0+Base\0\0"s);
    EXPECT_EQ(Dependencies(L"", L"Base\0"s, 64, true), L"+Base\0\0"s);
}

TEST(ServiceDependencies, NoneIsTheEmptyListNotNothing) {
    using namespace std::string_literals;
    // An empty list, explicitly: the service keeps having no dependency.
    EXPECT_EQ(Dependencies(L"", L"", 64, true, true), L"\0\0"s);
    EXPECT_EQ(Dependencies(L"", L""), L"\0\0"s);
}

TEST(ServiceDependencies, AListThatDoesNotFitIsRefusedNotCut) {
    using namespace std::string_literals;
    // "RPCSS\0" and the final NUL: 7 characters.
    EXPECT_EQ(Dependencies(L"RPCSS\0"s, L"", 7), L"RPCSS\0\0"s);
    EXPECT_EQ(Dependencies(L"RPCSS\0"s, L"", 6), L"<does not fit>");
    EXPECT_EQ(Dependencies(L"", L"Base\0"s, 7, true), L"+Base\0\0"s);
    EXPECT_EQ(Dependencies(L"", L"Base\0"s, 6, true), L"<does not fit>");
    EXPECT_EQ(Dependencies(L"", L"", 1), L"<does not fit>");
}

}  // namespace
