// Directories where the programs of this system leave small notes for each
// other (virtual serial ports, hubs), and the rules for trusting one. A note
// names a device to open or an address to connect to, so a directory is used
// only when no one but its owner may write into it, and its owner is one the
// reader trusts: the reader itself for a private directory, root for a
// system-wide one, or anyone for a directory inside a trusted root-owned one
// (only root could have made it there and handed it to its owner).
#pragma once

#include <QString>

namespace talvane {
namespace registrydir {

enum class Owner {
    Self,  // this user
    Root,  // the system
    Any,   // whoever owns it: its parent is a trusted root-owned directory
};

// Whether `dir` may hold notes: a directory (or a link to one owned as the
// directory must be), owned as `owner` asks, that no one but its owner may
// write. When not, `why` says why ("may be written by other users (mode 0777)").
bool trusted(const QString& dir, Owner owner, QString* why = nullptr);
// trusted(), a refusal reported on standard error once per reason:
// "<what> in <dir> ignored: the directory <why>".
bool usable(const QString& dir, Owner owner, const QString& what);
// Makes `dir` private (mode 0700) when it does not exist yet; parents made on
// the way keep the usual mode. False when it cannot be made.
bool makePrivate(const QString& dir);
// `name` in the user's runtime directory, else a per-user folder under /tmp
// ("/tmp/<name>-<uid>") where the session has none (a plain root shell, a CI job).
QString inRuntimeDirectory(const QString& name);
// Writes `content` whole under a private draft name in `dir` and returns
// that name (empty when it could not be written). A reader never sees half an
// entry: the draft is then linked or renamed to its real name.
QByteArray writeDraft(const QString& dir, const QByteArray& content, const void* writer);

}  // namespace registrydir
}  // namespace talvane
