// Windows: list files through the filter's own file operations, and the
// steps of a replacing write. ReplaceFile keeps the replaced file's
// attributes and security descriptor, which a plain move would lose, and
// with a backup name it never leaves the target gone without a copy.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>

#include "platform/win/list_files.h"
#include "tools/tarvelctl/files.h"
#include "tools/tarvelctl/read_rights.h"
#include "tools/tarvelctl/win/error_text.h"

namespace tarvel::ctl {
namespace {

std::string LastError() { return ErrorText(GetLastError()); }

class OpenHandle {
 public:
  explicit OpenHandle(HANDLE handle) : handle_(handle) {}
  ~OpenHandle() {
    if (valid()) CloseHandle(handle_);
  }
  OpenHandle(const OpenHandle&) = delete;
  OpenHandle& operator=(const OpenHandle&) = delete;

  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }
  // Closes now; false when closing failed.
  bool Close() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return CloseHandle(handle) != 0;
  }

 private:
  HANDLE handle_;
};

class WindowsFileSteps final : public FileSteps {
 public:
  Created CreateNew(const std::string& path, std::string* error) override {
    OpenHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.valid()) return Created::kOk;
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) return Created::kExists;
    *error = ErrorText(code);
    return Created::kFailed;
  }

  std::string WriteFlushed(const std::string& path, const std::string& bytes) override {
    OpenHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return LastError();
    for (std::size_t done = 0; done < bytes.size();) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
      DWORD written = 0;
      if (!WriteFile(file.get(), bytes.data() + done, chunk, &written, nullptr)) return LastError();
      if (written == 0) return "nothing was written";
      done += written;
    }
    // On the disk before the swap: a crash after it never leaves a list
    // whose blocks were not written yet.
    if (!FlushFileBuffers(file.get())) return LastError();
    if (!file.Close()) return LastError();
    return "";
  }

  bool Exists(const std::string& path) override {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  std::string Replace(const std::string& target, const std::string& replacement,
                      const std::string& backup) override {
    if (ReplaceFileA(target.c_str(), replacement.c_str(), backup.c_str(),
                     REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
      return "";
    }
    return LastError();
  }

  std::string Move(const std::string& from, const std::string& to) override {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) return "";
    return LastError();
  }

  std::string Remove(const std::string& path) override {
    if (DeleteFileA(path.c_str())) return "";
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return "";
    return ErrorText(code);
  }

  FileRead Read(const std::string& path, std::string* bytes) override {
    std::string error;
    return ReadWholeFile(path, bytes, &error);
  }
  unsigned long ProcessId() override { return GetCurrentProcessId(); }

  FileRead ListFolder(const std::string& folder, std::vector<FolderFile>* files,
                      std::string* error) override {
    files->clear();
    WIN32_FIND_DATAA found;
    const HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) {
      const DWORD code = GetLastError();
      if (code == ERROR_FILE_NOT_FOUND) return FileRead::kOk;  // an empty folder
      if (code == ERROR_PATH_NOT_FOUND) return FileRead::kMissing;
      *error = "cannot list " + folder + ": " + ErrorText(code);
      return FileRead::kFailed;
    }
    do {
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
      const auto high = [](DWORD h, DWORD l) {
        return static_cast<std::uint64_t>(h) << 32 | static_cast<std::uint64_t>(l);
      };
      files->push_back(
          {found.cFileName, high(found.nFileSizeHigh, found.nFileSizeLow),
           high(found.ftLastWriteTime.dwHighDateTime, found.ftLastWriteTime.dwLowDateTime)});
    } while (FindNextFileA(find, &found));
    FindClose(find);
    return FileRead::kOk;
  }

  // Each folder on the way is made where missing; only the last one's
  // failure counts, as a drive or a share in front cannot be made.
  std::string MakeFolders(const std::string& folder) override {
    for (std::size_t at = folder.find_first_of("\\/", 1); at != std::string::npos;
         at = folder.find_first_of("\\/", at + 1)) {
      CreateDirectoryA(folder.substr(0, at).c_str(), nullptr);
    }
    if (CreateDirectoryA(folder.c_str(), nullptr)) return "";
    const DWORD code = GetLastError();
    const DWORD attributes = GetFileAttributesA(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return "";
    }
    return ErrorText(code);
  }

  Removal RemoveNowOrAtRestart(const std::string& path, std::string* error) override {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      const DWORD code = GetLastError();
      if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return Removal::kMissing;
      *error = "cannot remove " + path + ": " + ErrorText(code);
      return Removal::kFailed;
    }
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // What is removed goes whatever its read-only attribute says.
    if (!folder && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      SetFileAttributesA(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if (folder ? RemoveDirectoryA(path.c_str()) : DeleteFileA(path.c_str())) return Removal::kNow;
    const DWORD code = GetLastError();
    // A loaded module refuses deletion (access denied), a file open without
    // delete sharing too (sharing violation), and a folder that holds
    // anything, a file pending deletion included.
    if (code != ERROR_ACCESS_DENIED && code != ERROR_SHARING_VIOLATION &&
        code != ERROR_DIR_NOT_EMPTY) {
      *error = "cannot remove " + path + ": " + ErrorText(code);
      return Removal::kFailed;
    }
    if (MoveFileExA(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) return Removal::kAtRestart;
    *error = "cannot remove " + path + " (" + ErrorText(code) +
             "), nor mark it for removal at the next restart: " + LastError();
    return Removal::kFailed;
  }

  FileRead ListFolders(const std::string& folder, std::vector<std::string>* names,
                       std::string* error) override {
    names->clear();
    WIN32_FIND_DATAA found;
    const HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) {
      const DWORD code = GetLastError();
      if (code == ERROR_FILE_NOT_FOUND) return FileRead::kOk;
      if (code == ERROR_PATH_NOT_FOUND) return FileRead::kMissing;
      *error = "cannot list " + folder + ": " + ErrorText(code);
      return FileRead::kFailed;
    }
    do {
      const std::string name = found.cFileName;
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || name == "." || name == "..") {
        continue;
      }
      names->push_back(name);
    } while (FindNextFileA(find, &found));
    FindClose(find);
    return FileRead::kOk;
  }
};

}  // namespace

ListFiles& PlatformListFiles() { return WindowsListFiles(); }

FileSteps& PlatformFileSteps() {
  static WindowsFileSteps steps;
  return steps;
}

FileAccess ReadFileAccess(const std::string& path) {
  FileAccess access;
  PACL list = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &list, nullptr, &descriptor) != ERROR_SUCCESS) {
    return access;
  }
  access.known = true;
  access.has_list = list != nullptr;
  for (DWORD i = 0; list != nullptr && i < list->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(list, i, &ace)) continue;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    const bool allows = header->AceType == ACCESS_ALLOWED_ACE_TYPE;
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0 ||
        (!allows && header->AceType != ACCESS_DENIED_ACE_TYPE)) {
      continue;
    }
    // An allow and a deny entry share one layout: header, mask, SID.
    auto* entry = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    char* sid = nullptr;
    if (!ConvertSidToStringSidA(reinterpret_cast<PSID>(&entry->SidStart), &sid)) continue;
    access.entries.push_back({allows, entry->Mask, sid});
    LocalFree(sid);
  }
  LocalFree(descriptor);
  return access;
}

}  // namespace tarvel::ctl
