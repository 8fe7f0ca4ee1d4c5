// Moving an unreadable file out of the way, so that what is written next does not destroy what the
// user may still want to look at (a settings file, a simulated chip's state).
#pragma once
#include <string>

// Renames path to path.bad-<local time> (with a counter when that name is taken); the new name,
// or "" when the rename failed.
std::string KeepAside(const std::string& path);
