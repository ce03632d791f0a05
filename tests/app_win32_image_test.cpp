// The firmware image as resource "BIN" 129 of the Windows program (under Wine): its bytes are the
// configured image's, the window's engine works on it, and a module whose resource is missing or
// short is refused at start-up with a message that says so, before anything reads it.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CVelmoUpdatorApp.h"
#include "CVelmoUpdatorDlg.h"
#include "FirmwareImage.h"
#include "FirmwareResource.h"
#include "UpdateEngine.h"

namespace {

std::vector<std::uint8_t> ReadImageFile() {
    std::vector<std::uint8_t> bytes(IMAGE_SIZE + 1);
    std::FILE* f = std::fopen(TARNET_FIRMWARE_IMAGE_FILE, "rb");
    if (f == nullptr) return {};
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
    std::fclose(f);
    return bytes;
}

// A module of resources alone, loaded as data: its resources can be looked up, nothing of it runs.
class ResourceModule {
public:
    explicit ResourceModule(const char* path)
        : m_module(LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
    ~ResourceModule() {
        if (m_module != nullptr) FreeLibrary(m_module);
    }
    ResourceModule(const ResourceModule&) = delete;
    ResourceModule& operator=(const ResourceModule&) = delete;
    operator HMODULE() const { return m_module; }

private:
    HMODULE m_module;
};

// Whether `p` lies in the memory image of the program's own module.
bool InsideTheProgram(const std::uint8_t* p) {
    const auto* base = reinterpret_cast<const std::uint8_t*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    return p >= base && p + IMAGE_SIZE <= base + nt->OptionalHeader.SizeOfImage;
}

const char* const SHORT_TEXT =
    "The firmware image (resource \"BIN\" 129) in the program is 1000 bytes, not 327680. "
    "Install the program again.";
const char* const MISSING_TEXT =
    "The firmware image (resource \"BIN\" 129) is missing from the program. Install the program again.";

// The start-up of the program with its steps recorded instead of shown.
struct RecordedStart {
    explicit RecordedStart(HMODULE imageModule) {
        app.m_markerScope = "image-test-" + std::to_string(GetCurrentProcessId());
        app.m_loadImage = FirmwareResourceStep(imageModule);
        app.m_showStartError = [this](const std::string& text) { errors.push_back(text); };
        app.m_showRefusal = [this](const std::string& text) { errors.push_back(text); };
        app.m_runMainWindow = [this] {
            windowRan = true;
            numberInWindow = app.GetInstanceNumber();
            // The engine that the program's window makes for itself.
            CVelmoUpdatorDlg dialog(ProgramDialogServices(app));
            engineImage = dialog.Engine()->Image();
        };
    }
    CVelmoUpdatorApp app;
    std::vector<std::string> errors;
    bool windowRan = false;
    int numberInWindow = 0;
    const std::uint8_t* engineImage = nullptr;
};

}  // namespace

TEST(FirmwareResource, OfTheProgramIsTheConfiguredImageByteForByte) {
    const std::vector<std::uint8_t> file = ReadImageFile();
    ASSERT_EQ(file.size(), static_cast<std::size_t>(IMAGE_SIZE)) << TARNET_FIRMWARE_IMAGE_FILE;
    const FirmwareResource resource = LoadFirmwareResource(nullptr);
    ASSERT_NE(resource.image, nullptr) << resource.error;
    EXPECT_EQ(resource.error, "");
    EXPECT_TRUE(std::equal(file.begin(), file.end(), resource.image));
    EXPECT_TRUE(InsideTheProgram(resource.image)) << "the bytes are the module's own, not a copy";
    // The same bytes on every load.
    EXPECT_EQ(LoadFirmwareResource(GetModuleHandleW(nullptr)).image, resource.image);
}

TEST(FirmwareResource, ThatIsShortOrMissingIsRefusedWithAMessageThatSaysSo) {
    const ResourceModule shortImage(TARNET_SHORT_IMAGE_MODULE);
    ASSERT_NE(static_cast<HMODULE>(shortImage), nullptr) << TARNET_SHORT_IMAGE_MODULE;
    const FirmwareResource tooShort = LoadFirmwareResource(shortImage);
    EXPECT_EQ(tooShort.image, nullptr);
    EXPECT_EQ(tooShort.error, SHORT_TEXT);

    // The image is there, but under another type and under another number: neither counts.
    const ResourceModule misplaced(TARNET_MISPLACED_IMAGE_MODULE);
    ASSERT_NE(static_cast<HMODULE>(misplaced), nullptr) << TARNET_MISPLACED_IMAGE_MODULE;
    const FirmwareResource missing = LoadFirmwareResource(misplaced);
    EXPECT_EQ(missing.image, nullptr);
    EXPECT_EQ(missing.error, MISSING_TEXT);
}

TEST(ProgramStart, WithoutAUsableImageShowsWhyAndNeitherClaimsANumberNorOpensTheWindow) {
    const ResourceModule shortImage(TARNET_SHORT_IMAGE_MODULE);
    ASSERT_NE(static_cast<HMODULE>(shortImage), nullptr);
    RecordedStart start(shortImage);
    EXPECT_FALSE(start.app.InitInstance());
    EXPECT_EQ(start.errors, std::vector<std::string>{SHORT_TEXT});
    EXPECT_FALSE(start.windowRan);
    EXPECT_EQ(start.app.GetInstanceNumber(), 0);
    EXPECT_EQ(start.app.Image(), nullptr);
}

TEST(ProgramStart, WithItsImageRunsTheWindowWhoseEngineWorksOnTheResource) {
    RecordedStart start(nullptr);
    EXPECT_FALSE(start.app.InitInstance());  // the process ends after the window, either way
    EXPECT_TRUE(start.errors.empty()) << start.errors.front();
    ASSERT_TRUE(start.windowRan);
    EXPECT_EQ(start.numberInWindow, 1);
    EXPECT_EQ(start.app.Image(), LoadFirmwareResource(nullptr).image);
    EXPECT_NE(start.engineImage, nullptr);
    EXPECT_EQ(start.engineImage, start.app.Image());
}
