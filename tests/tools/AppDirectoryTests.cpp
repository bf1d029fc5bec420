#include "AppDirectory.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ParentDirectory, CutsBeforeTheLastBackslashOnly)
{
    const struct {
        std::wstring path;
        std::wstring parent;
    } cases[] = {
        {L"", L""},
        {L"tool.exe", L"tool.exe"},
        {L"Kit/sub/tool.exe", L"Kit/sub/tool.exe"},
        {L"C:\\Kit\\", L"C:\\Kit"},
        {L"\\Driver", L""},
        {L"\\", L""},
        {L"C:\\Kit/sub/tool.exe", L"C:"},
        {L"C:\\tool.exe", L"C:"},
        {L"D:\\Kit\\tool.exe", L"D:\\Kit"},
        {L"C:\\Kit Dir\\Driver\\infInstall.bat", L"C:\\Kit Dir\\Driver"},
        {L"C:\\Kit\\\\tool.exe", L"C:\\Kit\\"},
        {L"\\\\server\\share\\tool.exe", L"\\\\server\\share"},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(ParentDirectory(testCase.path), testCase.parent) << "path: " << testCase.path;
    }
}

TEST(ParentDirectory, OfTheInstallerPathIsItsDriverDirectory)
{
    const std::wstring appDirectory = AppDirectory();
    ASSERT_FALSE(appDirectory.empty());
    EXPECT_EQ(ParentDirectory(appDirectory + L"\\Driver\\infInstall.bat"), appDirectory + L"\\Driver");
}

TEST(AppDirectory, IsTheDirectoryOfThisExecutable)
{
    const std::wstring self = SelfPath();
    const std::size_t lastBackslash = self.rfind(L'\\');
    ASSERT_NE(lastBackslash, std::wstring::npos) << self;

    const std::wstring appDirectory = AppDirectory();
    EXPECT_EQ(appDirectory, self.substr(0, lastBackslash));
    ASSERT_FALSE(appDirectory.empty());
    EXPECT_NE(appDirectory.back(), L'\\');
    EXPECT_EQ(appDirectory + L"\\ToolTests.exe", self);
    const DWORD attributes = GetFileAttributesW(appDirectory.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0U);
}

TEST(AppDirectory, TwoCallsAreEqual)
{
    const std::wstring first = AppDirectory();
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(AppDirectory(), first);
}

// Runs a copy of this executable placed at exePath and returns what its
// AppDirectory() was.
std::wstring AppDirectoryOfCopyAt(const ScratchDirectory& scratch, const std::wstring& exePath)
{
    if (!CopySelfTo(exePath)) {
        ADD_FAILURE() << "cannot copy the test executable to " << exePath << ": error " << GetLastError();
        return L"<not run>";
    }
    const std::wstring outputPath = scratch.Path() + L"\\appDirectory.txt";
    DeleteFileW(outputPath.c_str());
    DWORD exitCode = 0xdeadbeef;
    if (!RunProgramAtAnyPath(exePath, L"Probe.exe --child-app-directory \"" + outputPath + L"\"", exitCode)) {
        ADD_FAILURE() << "cannot start " << exePath << ": status " << std::hex << GetLastError();
        return L"<not run>";
    }
    EXPECT_EQ(exitCode, 0U);
    std::string bytes;
    if (!ReadBytes(outputPath, bytes)) {
        ADD_FAILURE() << "the child wrote no answer";
        return L"<no answer>";
    }
    return {reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t)};
}

// A path of 259 units fills the 260-unit buffer with its terminator; one of
// 260 or more comes back cut, and no directory may be made from that.
TEST(AppDirectory, IsEmptyWhenTheExecutablePathDoesNotFitTheBuffer)
{
    const ScratchDirectory scratch;
    ASSERT_TRUE(scratch.IsValid());
    const std::wstring exeName = L"\\Probe.exe";
    const struct {
        std::size_t pathLength;
        bool fits;
    } cases[] = {{259, true}, {260, false}, {261, false}, {300, false}};
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.pathLength);
        const std::wstring directory = PathOfLength(scratch.Path() + L"\\" + std::to_wstring(testCase.pathLength),
                                                    testCase.pathLength - exeName.size());
        ASSERT_TRUE(MakeDirectories(directory)) << directory;
        const std::wstring exePath = directory + exeName;
        ASSERT_EQ(exePath.size(), testCase.pathLength);

        EXPECT_EQ(AppDirectoryOfCopyAt(scratch, exePath), testCase.fits ? directory : std::wstring());
    }
}

TEST(AppDirectory, OfAnExecutableInADriveRootIsTheDriveWithoutBackslash)
{
    const ScratchDirectory scratch;
    ASSERT_TRUE(scratch.IsValid());
    const std::wstring drive = SystemDrive();
    const std::wstring exePath = scratch.Path() + L".exe";
    ASSERT_EQ(exePath.rfind(L'\\'), 2U) << exePath;
    const ScopedRemoval copy(exePath);

    EXPECT_EQ(AppDirectoryOfCopyAt(scratch, exePath), drive);
}

} // namespace
