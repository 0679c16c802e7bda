// Lexical path normalisation for the command-line tool: one spelling per path, decided
// from the text alone, as the Finder would spell the item.
//
// The tool takes paths from users and shells, which spell one item in many ways
// ("Sync/Docs/", "/u/./Sync//Docs", "/u/Sync/x/../Docs"). The Finder hands the plug-in one
// spelling only: absolute, no empty, "." or ".." components, no trailing slash. Every
// command brings its paths to that spelling before it looks anything up or records it.
//
// Nothing here touches the file system: symbolic links are not resolved (the Finder hands
// over the path it shows, not the link's target), and ".." removes the component written
// before it even when that component is a link. Bytes are bytes: only '/' (0x2F) is
// special, which never occurs inside a multi-byte UTF-8 sequence, so UTF-8 text, text in
// any Unicode form and byte sequences that are not UTF-8 pass through unchanged.
//
//   kelo::LexicalNormalPath("/u//Sync/./Docs/../Photos/")   // "/u/Sync/Photos"
//   kelo::AbsoluteLexicalPath("Docs/", "/u/Sync")             // "/u/Sync/Docs"
//
// Thread safety: pure functions.
#ifndef KELO_TOOLS_LEXICAL_PATH_H_
#define KELO_TOOLS_LEXICAL_PATH_H_

#include <string>
#include <string_view>

namespace kelo {

// The normal spelling of the absolute path `path`. Exactly:
//  - the components of `path` are its maximal runs of bytes other than '/', in order;
//    a `path` that does not begin with '/' is read as if it did;
//  - going through them from the left, an empty component cannot occur, "." is dropped,
//    ".." drops the last component kept so far (none at the root: "/.." is "/"), and any
//    other component is kept as it is, byte for byte (so "..." and ".x" are kept);
//  - the result is "/" followed by the kept components joined by single slashes, or "/"
//    when none is kept.
// The result begins with '/', has no empty, "." or ".." component and no trailing slash
// (other than the root itself), and normalising it again changes nothing. A NUL byte is
// an ordinary byte.
std::string LexicalNormalPath(std::string_view path);

// `path` made absolute and normal: an empty `path` gives "" (no path); one that begins
// with '/' gives LexicalNormalPath(path); any other gives LexicalNormalPath of
// `base` + "/" + `path`, `base` being the folder relative paths are taken from (normally
// the current working folder, itself absolute).
std::string AbsoluteLexicalPath(std::string_view path, std::string_view base);

}  // namespace kelo

#endif  // KELO_TOOLS_LEXICAL_PATH_H_
