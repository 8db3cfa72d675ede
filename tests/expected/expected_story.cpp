#include "tests/expected/expected_story.h"

#include <cstdio>
#include <optional>

#include "formats/text.h"
#include "harness/runner/plan_items.h"

namespace expected {
namespace {

std::string Utf8(std::u16string_view text) { return formats::Utf16ToUtf8Lossy(text); }

std::string Hex(std::uint32_t value)
{
    char text[16];
    (void)std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
    return text;
}

std::string FolderQuery(Base base)
{
    if (base == Base::Temp) return "GetTempPathW " + std::to_string(kPathChars);
    return "SHGetSpecialFolderPath " + std::to_string(base == Base::Startup ? kCsidlStartup : kCsidlPrograms);
}

// A file held open: a sharing violation where the FAT driver keeps the
// files, access denied where the object store does.
std::string Deletion(const std::u16string& path, const sim::DeviceImage& device)
{
    if (!device.Files().Exists(path)) return "not there";
    if (!device.config.IsHeldOpen(path) && !device.config.IsHeldByRunning(path)) return "deleted";
    const bool objectStore = device.config.device.fileSystem == formats::FileSystem::ObjectStore;
    return "held open, error " + std::to_string(objectStore ? kErrorAccessDenied : kErrorSharingViolation);
}

// The file plan walked on the device as it is before the run.
std::vector<std::string> FileStory(const sim::DeviceImage& device)
{
    const std::u16string installDir = runner::RecordedInstallDir(device.registry.keys).value_or(u"");
    std::vector<std::string> story;
    std::optional<Base> asked;  // the folder last asked for
    std::u16string folder;
    bool skipNext = false;
    for (const FileWords& row : kFileRows) {
        if (row.kind == Kind::Directory) {
            story.push_back("RemoveDirectoryW " + Utf8(installDir));
            break;
        }
        if (skipNext) {
            skipNext = false;
            continue;
        }
        std::u16string base = row.base == Base::InstallDir ? installDir : u"";
        if (row.base != Base::InstallDir && row.base != Base::Fixed) {
            if (asked != row.base) {
                asked = row.base;
                folder = FolderOf(row.base, device.config);
                story.push_back(FolderQuery(row.base));
            }
            if (folder.empty()) {  // without the shortcut, the utility is left alone too
                skipNext = row.kind == Kind::Gate;
                continue;
            }
            base = folder;
        }
        const std::u16string path = base + row.suffix;
        if (row.kind != Kind::Plain) story.push_back("SetFileAttributesW " + Utf8(path) + " " + Hex(kFileAttributeNormal));
        if (row.kind == Kind::Gate) story.push_back("SetLastError 0");
        const std::string outcome = Deletion(path, device);
        story.push_back("DeleteFileW " + Utf8(path) + ": " + outcome);
        if (row.kind != Kind::Plain && outcome != "deleted") story.push_back("GetLastError");
        // Only a sharing violation tells that the running utility holds its shortcut.
        if (row.kind == Kind::Gate) skipNext = outcome == "held open, error " + std::to_string(kErrorSharingViolation);
    }
    return story;
}

std::vector<std::string> KeyStory(bool removeSettings, bool removeInstallRecord)
{
    std::vector<std::string> story;
    for (const KeyWords& row : kKeyRows) {
        if (row.when == When::RemoveSettings && !removeSettings) continue;
        if (row.when == When::RemoveInstallRecord && !removeInstallRecord) continue;
        story.push_back(std::string("RegDeleteKeyW ") + RootName(row.root) + "\\" + Utf8(row.path));
    }
    return story;
}

std::string DeletionOf(const sim::RecordedCall& record)
{
    if (record.result.number) return "deleted";
    const uint32_t error = record.error;
    if (error == kErrorSharingViolation || error == kErrorAccessDenied) return "held open, error " + std::to_string(error);
    return error == 2 || error == 3 ? "not there" : "error " + std::to_string(error);
}

// One call as a story's line, if it tells one.
void Tell(const sim::RecordedCall& r, Story& story)
{
    namespace call = device_calls::call;
    const std::string op = r.call->name;
    const auto text = [&r](const char* parameter) { return Utf8(r.Arg(parameter).text); };
    const auto number = [&r](const char* parameter) { return r.Arg(parameter).number; };
    if (r.call == &call::MessageBoxW)
        story.boxes.push_back(BoxLine(text("caption"), text("text"), static_cast<std::uint32_t>(number("flags"))));
    else if (r.call == &call::SHGetSpecialFolderPath) story.files.push_back(op + " " + std::to_string(number("csidl")));
    else if (r.call == &call::GetTempPathW) story.files.push_back(op + " " + std::to_string(number("size")));
    else if (r.call == &call::SetFileAttributesW)
        story.files.push_back(op + " " + text("path") + " " + Hex(static_cast<std::uint32_t>(number("attributes"))));
    else if (r.call == &call::SetLastError) story.files.push_back(op + " " + std::to_string(number("error")));
    else if (r.call == &call::GetLastError) story.files.push_back(op);
    else if (r.call == &call::DeleteFileW) story.files.push_back(op + " " + text("path") + ": " + DeletionOf(r));
    else if (r.call == &call::RemoveDirectoryW) story.files.push_back(op + " " + text("path"));
    else if (r.call == &call::RegDeleteKeyW)
        story.keys.push_back(op + " " + RootName(static_cast<Root>(number("root"))) + "\\" + text("subKey"));
    else if (r.call == &call::KernelIoControl) story.resets.push_back(op + " " + Hex(static_cast<std::uint32_t>(number("code"))));
}

}  // namespace

std::string BoxLine(const std::string& caption, const std::string& text, std::uint32_t flags)
{
    return caption + " | " + text + " | " + Hex(flags);
}

Story ExpectedStory(const Run& run, const sim::DeviceImage& device)
{
    Story story;
    size_t question = 0;  // the answers go to the boxes with a Yes button, in turn
    for (Box box : run.boxes) {
        story.boxes.push_back(BoxLine(Utf8(kCaption), Utf8(Words(box).text), Words(box).flags));
        const bool yes = question < run.answers.size() && run.answers[question] == kIdYes;
        if (box == Box::SettingsQuestion) story.keys = KeyStory(yes, true);
        if (box == Box::ResetOffer) story.keys = KeyStory(false, false);
        if (box == Box::SettingsQuestion || box == Box::ResetOffer) story.files = FileStory(device);
        question += box == Box::Confirmation || box == Box::SettingsQuestion || box == Box::ResetOffer;
    }
    if (run.resetRequested) story.resets.push_back("KernelIoControl " + Hex(kReset.code));
    return story;
}

Story StoryOf(const sim::Trace& trace)
{
    Story story;
    for (const sim::RecordedCall& record : trace.Records()) Tell(record, story);
    if (trace.EndedIn()) Tell(*trace.EndedIn(), story);
    return story;
}

}  // namespace expected
