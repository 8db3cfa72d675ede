// The file and handle services of the trace build and the device kit:
// files opened by handle (CreateFileW), written, read and positioned, their
// handles closed; attributes, new folders and copies. Every write reaches
// the device's files at once, through DeviceFiles (on the host or in
// memory). A file is held while a handle has it open, while a running
// program has it as its image, and while device.ini's lists hold it.
#include <algorithm>
#include <cstring>

#include "formats/device_path.h"
#include "platform/sim/service_text.h"
#include "platform/sim/services.h"

namespace sim {

using formats::SameDevicePath;

namespace {

// Whether an opener's access and share mode allow for a holder's, and the
// holder's for the opener's, as Windows decides a sharing violation.
bool Compatible(uint32_t access, uint32_t share, uint32_t heldAccess, uint32_t heldShare)
{
    const auto conflicts = [](uint32_t wants, uint32_t allowed) {
        return ((wants & GENERIC_READ) && !(allowed & FILE_SHARE_READ)) ||
               ((wants & GENERIC_WRITE) && !(allowed & FILE_SHARE_WRITE));
    };
    return !conflicts(access, heldShare) && !conflicts(heldAccess, share);
}

bool Running(const DeviceProgram& program) { return program.state != DeviceProgram::State::Ended; }

}  // namespace

std::u16string_view DeviceSession::FilePath(LPCWSTR path) const
{
    return formats::BelowDrive(Text(path), image.config.drive);
}

// What holds a file, and how: the programs the user started ([HeldOpen]) and
// the files a running program's handles held in an earlier command, without
// sharing; the images of running programs and what the device loaded at
// its start ([HeldByDevice]), for reading, sharing reading; and the handles
// open now, as they were opened.
bool DeviceSession::MayOpen(const std::u16string& path, uint32_t access, uint32_t share) const
{
    const uint32_t kImage = GENERIC_READ, kImageShare = FILE_SHARE_READ;
    if (image.config.IsHeldByUser(path)) return false;
    for (const formats::DeviceHold& hold : image.config.heldByDevice)
        if (SameDevicePath(hold.path, path) && !Compatible(access, share, kImage, kImageShare)) return false;
    for (const DeviceProgram& program : programs) {
        if (!Running(program)) continue;
        for (const std::u16string& file : program.heldFiles)
            if (SameDevicePath(file, path)) return false;
        if (!program.image.empty() && SameDevicePath(program.image, path) &&
            !Compatible(access, share, kImage, kImageShare))
            return false;
    }
    for (const auto& [value, handle] : handles)
        if (handle.kind == DeviceHandle::Kind::File && SameDevicePath(handle.file.path, path) &&
            !Compatible(access, share, handle.file.access, handle.file.share))
            return false;
    return true;
}

std::optional<DeviceSession::Holder> DeviceSession::HolderOf(std::u16string_view path) const
{
    using formats::HoldKind;
    if (image.config.IsHeldByUser(path)) return Holder{HoldKind::OpenFile, "user"};
    for (const formats::DeviceHold& hold : image.config.heldByDevice)
        if (SameDevicePath(hold.path, path))
            return Holder{hold.rule == formats::HoldRule::Startup ? HoldKind::RunningProgram : HoldKind::LoadedModule,
                          "device"};
    std::optional<Holder> open;
    for (const DeviceProgram& program : programs) {
        if (!Running(program)) continue;
        if (!program.image.empty() && SameDevicePath(program.image, path))
            return Holder{HoldKind::RunningProgram, "program"};
        for (const std::u16string& file : program.heldFiles)
            if (SameDevicePath(file, path)) open = Holder{HoldKind::OpenFile, "program"};
    }
    for (const auto& [value, handle] : handles)
        if (handle.kind == DeviceHandle::Kind::File && SameDevicePath(handle.file.path, path))
            open = Holder{HoldKind::OpenFile, "program"};
    return open;
}

uintptr_t DeviceSession::AddHandle(DeviceHandle handle)
{
    handle.owner = programs[current_].id;
    const uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    handles[value] = std::move(handle);
    return value;
}

DeviceHandle* DeviceSession::HandleOf(HANDLE handle, DeviceHandle::Kind kind)
{
    auto it = handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == handles.end() || it->second.owner != programs[current_].id || it->second.kind != kind) return nullptr;
    return &it->second;
}

OpenFile* DeviceSession::FileOf(HANDLE handle)
{
    DeviceHandle* found = HandleOf(handle, DeviceHandle::Kind::File);
    return found ? &found->file : nullptr;
}

// Faulted: INVALID_HANDLE_VALUE, error else ERROR_ACCESS_DENIED.
HANDLE DeviceSession::CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                                  DWORD disposition, DWORD, HANDLE)
{
    std::optional<Fault> fault = Enter(__func__, Text(path));
    const std::u16string wanted(FilePath(path));
    HANDLE result = INVALID_HANDLE_VALUE;
    uint32_t error = 0;
    FileFacts facts;
    const uint32_t look = fault ? 0 : files.Look(wanted, facts);
    const bool truncate = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    std::u16string canonical;
    if (fault) {
        error = fault->error.value_or(ERROR_ACCESS_DENIED);
    } else if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING ||
               (disposition == TRUNCATE_EXISTING && !(access & GENERIC_WRITE))) {
        error = ERROR_INVALID_PARAMETER;
    } else if (handles.size() >= kMostHandles) {
        error = ERROR_TOO_MANY_OPEN_FILES;
    } else if (look == 0) {
        // The file is there.
        // The order of the checks is the order in which the device's errors win.
        // NOLINTNEXTLINE(bugprone-branch-clone): merging the two ERROR_ACCESS_DENIED would reorder them
        if (facts.kind != FileKind::File) error = ERROR_ACCESS_DENIED;
        else if (disposition == CREATE_NEW) error = ERROR_FILE_EXISTS;
        else if (!MayOpen(facts.canonical, access, share)) error = ERROR_SHARING_VIOLATION;
        else if (facts.readOnly && ((access & GENERIC_WRITE) || truncate)) error = ERROR_ACCESS_DENIED;
        else error = files.CreateFile(facts.canonical, truncate, canonical);
    } else if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
        error = look;
    } else if (made >= kMostMade) {
        error = ERROR_DISK_FULL;
    } else if (!(error = files.CreateFile(wanted, false, canonical))) {
        ++made;
    }
    if (!error) {
        DeviceHandle handle;
        handle.kind = DeviceHandle::Kind::File;
        handle.file = OpenFile{canonical, access, share, 0};
        result = reinterpret_cast<HANDLE>(AddHandle(std::move(handle)));
        // As on Windows: an existing file created or opened "always" says so.
        const bool existed = look == 0;
        lastError = existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS : 0;
    } else {
        lastError = error;
    }
    return result;
}

// Why a ReadFile or WriteFile cannot go on: the fault's error (else
// otherwise), a handle that is no open file of this program's, bad
// arguments, or a file not opened for access. 0 with open set.
uint32_t DeviceSession::TransferRefusal(const std::optional<Fault>& fault, uint32_t otherwise, HANDLE file,
                                        const void* data, DWORD bytes, LPOVERLAPPED overlapped, uint32_t access,
                                        OpenFile*& open)
{
    if (fault) return fault->error.value_or(otherwise);
    if (!(open = FileOf(file))) return ERROR_INVALID_HANDLE;
    if (overlapped || (!data && bytes)) return ERROR_INVALID_PARAMETER;
    if (!(open->access & access)) return ERROR_ACCESS_DENIED;
    return 0;
}

// Faulted: FALSE, error else ERROR_DISK_FULL; nothing written, the file pointer stays.
BOOL DeviceSession::WriteFile(HANDLE file, LPCVOID data, DWORD bytes, LPDWORD written, LPOVERLAPPED overlapped)
{
    std::optional<Fault> fault = Enter(__func__, u"");
    if (written) *written = 0;
    OpenFile* open = nullptr;
    uint32_t error = TransferRefusal(fault, ERROR_DISK_FULL, file, data, bytes, overlapped, GENERIC_WRITE, open);
    if (!error && (open->position + bytes > kLargestDeviceFile || bytesWritten + bytes > kMostBytesWritten))
        error = ERROR_DISK_FULL;
    if (!error) error = files.WriteAt(open->path, open->position, std::string_view(static_cast<const char*>(data), bytes));
    if (error) return Failed(error);
    open->position += bytes;
    bytesWritten += bytes;
    if (written) *written = bytes;
    return TRUE;
}

// Faulted: FALSE, error else ERROR_ACCESS_DENIED; nothing is read.
BOOL DeviceSession::ReadFile(HANDLE file, LPVOID data, DWORD bytes, LPDWORD read, LPOVERLAPPED overlapped)
{
    std::optional<Fault> fault = Enter(__func__, u"");
    if (read) *read = 0;
    OpenFile* open = nullptr;
    std::string got;
    uint32_t error = TransferRefusal(fault, ERROR_ACCESS_DENIED, file, data, bytes, overlapped, GENERIC_READ, open);
    if (!error) error = files.ReadAt(open->path, open->position, std::min<uint64_t>(bytes, kLargestDeviceFile), got);
    if (error) return Failed(error);
    if (!got.empty()) std::memcpy(data, got.data(), got.size());
    open->position += got.size();
    if (read) *read = static_cast<DWORD>(got.size());
    return TRUE;
}

// Faulted: result, else INVALID_SET_FILE_POINTER, error else
//   ERROR_INVALID_PARAMETER; the file pointer stays.
DWORD DeviceSession::SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method)
{
    std::optional<Fault> fault = Enter(__func__, u"");
    OpenFile* open = fault ? nullptr : FileOf(file);
    DWORD result = INVALID_SET_FILE_POINTER;
    FileFacts facts;
    if (fault) {
        result = static_cast<DWORD>(fault->result.value_or(INVALID_SET_FILE_POINTER));
        lastError = fault->error.value_or(ERROR_INVALID_PARAMETER);
    } else if (!open) {
        lastError = ERROR_INVALID_HANDLE;
    } else if (distanceHigh || method > FILE_END ||
               (method == FILE_END && files.Look(open->path, facts) != 0)) {
        // The device's files are far below 4 GiB: a high word is never read.
        lastError = ERROR_INVALID_PARAMETER;
    } else {
        const int64_t base = method == FILE_BEGIN ? 0
                             : method == FILE_CURRENT ? static_cast<int64_t>(open->position)
                                                      : static_cast<int64_t>(facts.size);
        const int64_t target = base + distance;
        if (target < 0) {
            lastError = ERROR_NEGATIVE_SEEK;
        } else if (target >= INVALID_SET_FILE_POINTER) {
            lastError = ERROR_INVALID_PARAMETER;
        } else {
            open->position = static_cast<uint64_t>(target);
            result = static_cast<DWORD>(target);
            lastError = 0;
        }
    }
    return result;
}

// Faulted: FALSE, error else ERROR_DISK_FULL.
//
// Every write is in the device's files as soon as WriteFile returns: there
// is nothing more to flush.
BOOL DeviceSession::FlushFileBuffers(HANDLE file)
{
    std::optional<Fault> fault = Enter(__func__, u"");
    OpenFile* open = fault ? nullptr : FileOf(file);
    BOOL ok = FALSE;
    if (fault) ok = Failed(fault->error.value_or(ERROR_DISK_FULL));
    else if (!open) ok = Failed(ERROR_INVALID_HANDLE);
    else if (!(open->access & GENERIC_WRITE)) ok = Failed(ERROR_ACCESS_DENIED);
    else ok = TRUE;
    return ok;
}

// Faulted: FALSE, error else ERROR_INVALID_HANDLE; the handle stays open.
BOOL DeviceSession::CloseHandle(HANDLE object)
{
    std::optional<Fault> fault = Enter(__func__, u"");
    BOOL ok = FALSE;
    auto it = handles.find(reinterpret_cast<uintptr_t>(object));
    if (fault) ok = Failed(fault->error.value_or(ERROR_INVALID_HANDLE));
    else if (it == handles.end() || it->second.owner != programs[current_].id) ok = Failed(ERROR_INVALID_HANDLE);
    else {
        handles.erase(it);
        ok = TRUE;
    }
    return ok;
}

// Faulted: result, else INVALID_FILE_ATTRIBUTES, error else ERROR_FILE_NOT_FOUND.
DWORD DeviceSession::GetFileAttributesW(LPCWSTR path)
{
    std::optional<Fault> fault = Enter(__func__, Text(path));
    DWORD result = INVALID_FILE_ATTRIBUTES;
    FileFacts facts;
    if (fault) {
        result = static_cast<DWORD>(fault->result.value_or(INVALID_FILE_ATTRIBUTES));
        lastError = fault->error.value_or(ERROR_FILE_NOT_FOUND);
    } else if (uint32_t error = files.Look(FilePath(path), facts)) {
        lastError = error;
    } else {
        // The device keeps no attribute but read-only: a file with none is NORMAL.
        const DWORD readOnly = facts.readOnly ? FILE_ATTRIBUTE_READONLY : 0;
        result = facts.kind == FileKind::Folder ? FILE_ATTRIBUTE_DIRECTORY | readOnly
                                                : readOnly ? readOnly : FILE_ATTRIBUTE_NORMAL;
    }
    return result;
}

// Faulted: FALSE, error else ERROR_ACCESS_DENIED.
BOOL DeviceSession::CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES)
{
    std::optional<Fault> fault = Enter(__func__, Text(path));
    BOOL ok = FALSE;
    if (fault) ok = Failed(fault->error.value_or(ERROR_ACCESS_DENIED));
    else if (made >= kMostMade) ok = Failed(files.Exists(FilePath(path)) ? ERROR_ALREADY_EXISTS : ERROR_DISK_FULL);
    else if (uint32_t error = files.CreateFolder(FilePath(path))) ok = Failed(error);
    else {
        ++made;
        ok = TRUE;
    }
    return ok;
}

// Faulted: FALSE, error else ERROR_ACCESS_DENIED; nothing is moved. A file
// something holds is not moved (ERROR_SHARING_VIOLATION).
BOOL DeviceSession::MoveFileW(LPCWSTR from, LPCWSTR to)
{
    std::optional<Fault> fault = Enter(__func__, Text(from));
    const std::u16string source = files.Canonical(FilePath(from));
    BOOL ok;
    if (fault) ok = Failed(fault->error.value_or(ERROR_ACCESS_DENIED));
    else if (files.Exists(FilePath(from)) && (HolderOf(source) || !MayOpen(source, GENERIC_WRITE, 0)))
        ok = Failed(ERROR_SHARING_VIOLATION);
    else if (uint32_t error = files.Move(FilePath(from), FilePath(to))) ok = Failed(error);
    else ok = TRUE;
    return ok;
}

// Faulted: FALSE, error else ERROR_ACCESS_DENIED; nothing is copied.
BOOL DeviceSession::CopyFileW(LPCWSTR from, LPCWSTR to, BOOL failIfExists)
{
    std::optional<Fault> fault = Enter(__func__, Text(from));
    FileFacts source, target;
    // Why the copy cannot be made, or 0: the source read as with GENERIC_READ
    // and FILE_SHARE_READ, the target written as with GENERIC_WRITE and no sharing.
    const auto refusal = [&]() -> uint32_t {
        if (fault) return fault->error.value_or(ERROR_ACCESS_DENIED);
        if (uint32_t error = files.Look(FilePath(from), source)) return error;
        if (source.kind != FileKind::File) return ERROR_ACCESS_DENIED;
        if (!MayOpen(source.canonical, GENERIC_READ, FILE_SHARE_READ)) return ERROR_SHARING_VIOLATION;
        if (files.Look(FilePath(to), target) != 0) {
            if (made >= kMostMade) return ERROR_DISK_FULL;
        } else {
            if (target.kind != FileKind::File) return ERROR_ACCESS_DENIED;
            if (failIfExists) return ERROR_FILE_EXISTS;
            if (SameDevicePath(target.canonical, source.canonical) || !MayOpen(target.canonical, GENERIC_WRITE, 0))
                return ERROR_SHARING_VIOLATION;
            if (target.readOnly) return ERROR_ACCESS_DENIED;
        }
        if (source.size > kLargestDeviceFile || bytesWritten + source.size > kMostBytesWritten) return ERROR_DISK_FULL;
        return 0;
    };
    uint32_t error = refusal();
    if (!error) {
        std::string bytes;
        std::u16string copy;
        if (!(error = files.ReadAt(source.canonical, 0, source.size, bytes)) &&
            !(error = files.CreateFile(FilePath(to), true, copy)) && !(error = files.WriteAt(copy, 0, bytes))) {
            // As on Windows, the copy takes the source's attributes.
            if (source.readOnly) files.SetAttributes(copy, FILE_ATTRIBUTE_READONLY);
            bytesWritten += bytes.size();
            made += target.kind == FileKind::None;
        }
    }
    const BOOL ok = error ? Failed(error) : TRUE;
    return ok;
}

}  // namespace sim
