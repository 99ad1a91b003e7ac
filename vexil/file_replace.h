// file_replace.h - replacing a file's contents the way editors and package managers do.
#ifndef VEXIL_FILE_REPLACE_H
#define VEXIL_FILE_REPLACE_H

#include <string>

namespace vexil {

// Which step of a replacement failed.
enum class ReplaceFailure {
  kNone,     // done
  kWrite,    // the new file could not be made: `file` names it (or the link that led nowhere)
  kReplace,  // the new file could not take the old one's place: `file` names the old one
};

// Gives the file at `path` the contents `text`, all at once for every reader:
//  - a symbolic link stays a link; the file it finally points to gets the text;
//  - the text goes into a new file in the same folder, created exclusively (O_EXCL, never
//    through a link) under an unpredictable name, with the mode, owner and group of the file
//    it replaces (a new file gets 0666 less the umask), synced, then renamed over the file;
//  - on any failure the file is untouched, the new file removed, and the failing step is
//    returned with the file it worked on in `file` and the reason in `reason`.
ReplaceFailure replace_file(const std::string& path, const std::string& text, std::string& file,
                            std::string& reason);

}  // namespace vexil

#endif  // VEXIL_FILE_REPLACE_H
