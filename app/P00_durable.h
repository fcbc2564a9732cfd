// Files that must survive a crash or a power cut: written under a private name,
// synced and renamed into place, records appended and synced, and the identity
// of a file as it sits on disk. The one place that knows these system calls.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velbrin {

struct TFileFacts;

// Inode, size, modification time (ns) and a hash of the name and bytes of a file,
// as one text; a name reused for a new file, or a file rewritten in place, gets
// another identity. The device number is left out: several file systems hand it
// out anew at each mount, and every request lives in one folder anyway. Empty
// when the file cannot be read. A link is not followed; a file larger than
// kMaxIdentityBytes is known by its unread identity.
std::string FileIdentityOf(const std::string& path);
constexpr std::size_t kMaxIdentityBytes = 4u * 1024 * 1024;
// The identity of a file whose bytes were read, from its facts.
std::string IdentityOf(const TFileFacts& facts, const std::string& name, std::string_view bytes);
// The identity of a file known without its bytes (unreadable, too large, not a
// plain file): the hash covers its name only.
std::string UnreadIdentityOf(const TFileFacts& facts, const std::string& name);
// An identity recorded by an earlier version (with the device number in front)
// in the form FileIdentityOf gives now.
std::string WithoutDevice(const std::string& identity);

// Writes bytes to path whole: a hidden draft beside it is written and synced,
// renamed over path, and the folder synced. Raises LinkError naming the file.
void WriteFileDurably(const std::string& path, std::string_view bytes);
// Writes the draft only (synced) and returns its name; PublishDraft renames it.
std::string WriteDraftDurably(const std::string& path, std::string_view bytes);
void PublishDraft(const std::string& draft, const std::string& path);
// Appends bytes to path (made when missing, its name then synced into the folder)
// and syncs it. Raises LinkError.
void AppendDurably(const std::string& path, std::string_view bytes);
// Syncs the data of a file another unit wrote. Raises LinkError.
void SyncFile(const std::string& path);
// Cuts a file to its first size bytes and syncs it. Raises LinkError.
void TruncateDurably(const std::string& path, unsigned long long size);
// Copies a file whole and durably (draft, sync, rename, folder sync). Raises LinkError.
void CopyFileDurably(const std::string& from, const std::string& to);
// Removes a file and syncs its folder, so that a power cut cannot bring it back
// before the next step relies on its absence. False when the file is still
// there (the folder refused); a missing file counts as removed. Raises LinkError
// when the folder cannot be synced.
bool RemoveFileDurably(const std::string& path);
// Makes a folder with its missing parents, each new one synced into its parent.
// False when the folder is not there afterwards.
bool MakeDirectoriesDurably(const std::string& dir);
// Syncs a folder so that names made, renamed or removed in it are on disk.
// Raises LinkError when the folder cannot be opened or synced; a file system
// that has no way to sync a folder (EINVAL) counts as synced.
void SyncDirectory(const std::string& dir);

// Renames a file; 0 on success, else the errno of the failure (EXDEV across file systems).
int RenameOrErrno(const std::string& from, const std::string& to);
// Plain files of dir whose names do not begin with "." (hidden: only those that
// do), at most maxEntries looked at, sorted. Links are no plain files.
std::vector<std::string> ListPlainFiles(const std::string& dir, std::size_t maxEntries, bool hidden = false);
// True when the link may make files in dir and it has room for a few answers.
bool CanWriteIn(const std::string& dir);
// Makes a new file readable and writable by the link's user only, never
// through a name that is there (nor a link), with bytes synced and its name in
// the folder; 0 or the errno of the failure (EEXIST: the name was taken).
int CreatePrivateFileDurably(const std::string& path, std::string_view bytes);
// bytes random bytes from the kernel, as hexadecimal text. Raises LinkError.
std::string RandomHex(std::size_t bytes);
// The text of the last failed system call (for log lines).
std::string LastSystemError();

}  // namespace velbrin
