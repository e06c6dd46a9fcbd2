// The installer's metrics schedule: halvctl's arguments and the task's definition for folders
// that a command line or XML could take apart.
#include "custom_actions/metrics_task.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring Arguments(const wchar_t* dir) {
    wchar_t out[256];
    return halv_metrics_arguments(dir, out, 256) ? out : L"(refused)";
}

std::wstring Xml(const wchar_t* program, const wchar_t* dir, size_t capacity = 8192) {
    std::wstring out(capacity, L'\0');
    const size_t n = halv_metrics_task_xml(program, dir, out.data(), capacity);
    return n ? out.substr(0, n) : L"(refused)";
}

TEST(MetricsTask, TheFolderIsOneQuotedArgumentWhatItsCharacters) {
    EXPECT_EQ(Arguments(L"C:\\ProgramData\\node_exporter"),
              L"metrics --textfile \"C:\\ProgramData\\node_exporter\"");
    EXPECT_EQ(Arguments(L"C:\\Metrics & Co\\text files"),
              L"metrics --textfile \"C:\\Metrics & Co\\text files\"");
    // Trailing backslashes are doubled, else the last would escape the closing quote.
    EXPECT_EQ(Arguments(L"C:\\Metrics\\"), L"metrics --textfile \"C:\\Metrics\\\\\"");
    EXPECT_EQ(Arguments(L"D:\\"), L"metrics --textfile \"D:\\\\\"");
    EXPECT_EQ(Arguments(L"\\\\host\\share\\\\"), L"metrics --textfile \"\\\\host\\share\\\\\\\\\"");
}

TEST(MetricsTask, AFolderThatCannotBeCarriedIsRefused) {
    EXPECT_EQ(Arguments(L""), L"(refused)");
    EXPECT_EQ(Arguments(L"C:\\a\"b"), L"(refused)");
    EXPECT_EQ(Arguments(L"C:\\a\nb"), L"(refused)");
    EXPECT_EQ(Xml(L"halvctl.exe", L"C:\\a\"b"), L"(refused)");
    // Too long for the output: refused, not cut.
    wchar_t out[24];
    EXPECT_EQ(halv_metrics_arguments(L"C:\\Metrics", out, 24), 0u);
    EXPECT_EQ(Xml(L"halvctl.exe", L"C:\\Metrics", 200), L"(refused)");
}

TEST(MetricsTask, TheDefinitionCarriesProgramAndFolderEscaped) {
    const std::wstring xml =
        Xml(L"\"C:\\Program Files\\Torvale\\HALV\\halvctl.exe\"", L"C:\\R&D <metrics>\\it's");
    EXPECT_NE(xml.find(L"<Command>&quot;C:\\Program Files\\Torvale\\HALV\\halvctl.exe&quot;"
                       L"</Command>"),
              std::wstring::npos)
        << xml;
    EXPECT_NE(xml.find(L"<Arguments>metrics --textfile &quot;C:\\R&amp;D &lt;metrics&gt;\\it&apos;"
                       L"s&quot;</Arguments>"),
              std::wstring::npos)
        << xml;
    // Nothing of the folder's text comes through unescaped.
    EXPECT_EQ(xml.find(L"R&D"), std::wstring::npos);
    EXPECT_EQ(xml.find(L"<metrics>"), std::wstring::npos);
}

TEST(MetricsTask, TheScheduleIsBootAndEveryFiveMinutesAsSystem) {
    const std::wstring xml = Xml(L"halvctl.exe", L"C:\\m");
    for (const wchar_t* part :
         {L"<BootTrigger>", L"<TimeTrigger>", L"<Interval>PT5M</Interval>",
          L"<UserId>S-1-5-18</UserId>", L"<RunLevel>HighestAvailable</RunLevel>",
          L"<Actions Context=\"System\">", L"<Principal id=\"System\">"})
        EXPECT_NE(xml.find(part), std::wstring::npos) << part;
    // Repeating without end: no Duration bounds the repetition.
    EXPECT_EQ(xml.find(L"<Duration>"), std::wstring::npos);
}

}  // namespace
