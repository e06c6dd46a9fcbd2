// The installer's install-folder rule: only a folder below Program Files, whose path does not
// carry the service's name.
#include "custom_actions/install_folder.h"

#include <gtest/gtest.h>

namespace {

constexpr const wchar_t* kProgramFiles = L"C:\\Program Files\\";

halv_folder_verdict Verdict(const wchar_t* folder, const wchar_t* programFiles = kProgramFiles) {
    return halv_install_folder_verdict(folder, programFiles, L"Vexmond");
}

TEST(InstallFolder, AFolderBelowProgramFilesIsAccepted) {
    EXPECT_EQ(Verdict(L"C:\\Program Files\\Torvale\\HALV\\"), HALV_FOLDER_ACCEPTED);
    EXPECT_EQ(Verdict(L"C:\\Program Files\\HALV"), HALV_FOLDER_ACCEPTED);
    // Paths compare without regard to case, and Program Files given without its backslash.
    EXPECT_EQ(Verdict(L"c:\\PROGRAM FILES\\Torvale\\HALV\\", L"C:\\Program Files"),
              HALV_FOLDER_ACCEPTED);
}

TEST(InstallFolder, APathCarryingTheServicesNameIsRefusedWhateverItsCase) {
    EXPECT_EQ(Verdict(L"C:\\Program Files\\Torvale\\Vexmond\\"), HALV_FOLDER_NAMES_SERVICE);
    EXPECT_EQ(Verdict(L"C:\\Program Files\\myvexmondtools\\"), HALV_FOLDER_NAMES_SERVICE);
    EXPECT_EQ(Verdict(L"D:\\VEXMOND\\"), HALV_FOLDER_NAMES_SERVICE);
}

TEST(InstallFolder, AFolderThatIsNotStrictlyBelowProgramFilesIsRefused) {
    for (const wchar_t* folder : {
             L"C:\\HALV\\",
             L"D:\\Program Files\\HALV\\",
             L"C:\\Program Files2\\HALV\\",     // a prefix, but not on a boundary
             L"C:\\Program Files\\",            // Program Files itself
             L"C:\\Program Files",              //
             L"C:\\Program Files\\..\\HALV\\",  // out of it again
             L"C:\\Program Files\\Torvale\\..\\..\\Users\\Public\\",
             L"C:\\Program Files\\.\\HALV\\",
             L"C:\\Program Files\\\\HALV\\",
             L"C:\\Program Files\\Torvale/../../HALV\\",
             L"",
         })
        EXPECT_EQ(Verdict(folder), HALV_FOLDER_OUTSIDE_PROGRAM_FILES) << folder;
    // Without a Program Files folder to compare with, nothing is below it.
    EXPECT_EQ(Verdict(L"C:\\Program Files\\HALV\\", L""), HALV_FOLDER_OUTSIDE_PROGRAM_FILES);
    EXPECT_EQ(Verdict(L"C:\\Program Files\\HALV\\", L"\\"), HALV_FOLDER_OUTSIDE_PROGRAM_FILES);
}

}  // namespace
