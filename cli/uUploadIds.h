// The ids pinlet-upload takes for programmers and parts. A programmer id is a wiring on a kind of
// port; a part id names a chip of the device database.
#pragma once
#include "cli/uUploadOptions.h"

#include <string>
#include <vector>

// The cables and adapters Pinlet drives, under the ids people use for them; each entry says where
// its wiring comes from.
const std::vector<TUploadProgrammer>& BuiltInUploadProgrammers();
// The programmer of id (any letter case) among extra (read from -C files; later entries win) and,
// unless only_extra, the built-in ones; nullptr when none has it.
const TUploadProgrammer* FindUploadProgrammer(const std::string& id,
                                              const std::vector<TUploadProgrammer>& extra,
                                              bool only_extra = false);

// The database chip that a -p text names: a short id as build systems give it (m328p, t85, m2560,
// usb1286, ...), a chip name in any letter case (atmega328p, ATmega328P), or a variant name that
// shares a record (ATmega8L). chip_names are the database's names (a record's "ATmega8/ATmega8L"
// counts as both). Empty when none matches.
std::string ResolveUploadPart(const std::string& text, const std::vector<std::string>& chip_names);
// The short id of a chip name (ATmega328P -> m328p), the one -p ? lists.
std::string ShortPartId(const std::string& chip_name);

// The lists of -c ? and -p ?: one "  id  = description" line per programmer (those of extra first,
// the built-in ones unless only_extra; an id listed once), and one "  id  = name" line per chip
// name of chip_names (variant names of a record on lines of their own).
std::string UploadProgrammerListText(const std::vector<TUploadProgrammer>& extra, bool only_extra = false);
std::string UploadPartListText(const std::vector<std::string>& chip_names);
