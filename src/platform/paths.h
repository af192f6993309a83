// Paths inside the program and where they meet the file system.
//
// Inside the program, paths are joined with a single backslash, as the data files and the
// update protocol carry them; folder paths have no trailing separator. ToFileSystemPath turns
// the backslashes into slashes where a path is handed to the operating system. Every platform
// function that takes a file name does that conversion itself.
//
// Thread safety: all functions may be called from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tulix {

// folder + "\" + name; a trailing separator of the folder is not doubled, an empty folder
// gives the name alone.
std::string JoinPath(std::string_view folder, std::string_view name);

// The path as the operating system takes it: every backslash becomes a slash.
std::string ToFileSystemPath(std::string_view path);

// The last component of a path (after the last backslash or slash).
std::string_view FileNameOf(std::string_view path);
// Everything before the last separator; empty when there is none.
std::string_view FolderOf(std::string_view path);

// The folder that holds the running executable.
std::string ExecutableFolder();

// The program folder: $TULIX_HOME when set; else the executable's folder when it holds a
// "categories" folder and can be written (a portable install); else $XDG_DATA_HOME/tulix
// (~/.local/share/tulix). The folder is created when missing.
std::string ProgramFolder();

// $TMPDIR, or /tmp.
std::string TempFolder();

// Small file-system helpers over internal paths.
bool FileExists(std::string_view path);
bool FolderExists(std::string_view path);
// Creates the folder and every missing parent; true when it exists afterwards.
bool MakeFolders(std::string_view path);
std::optional<std::string> ReadWholeFile(std::string_view path);
// Writes through a temporary file in the same folder and a rename: all or nothing.
bool WriteFileAtomically(std::string_view path, std::string_view content);
bool RemoveFile(std::string_view path);

// Creates a new file that only its owner may read or write, with `content`. Never replaces an
// existing file and never follows a link at that name: kNameTaken says the name exists. A file
// whose content could not be written whole is removed again (kFailed, last error set).
enum class NewFileResult { kCreated, kNameTaken, kFailed };
NewFileResult CreatePrivateFile(std::string_view path, std::string_view content);

}  // namespace tulix
