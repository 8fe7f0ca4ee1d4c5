// The chip names of a device database, for the uploader's -p (which names a chip by a short id or
// by name) and its -p ? list.
#pragma once
#include <string>
#include <vector>

// The record names of the database at database_path ("" = the usual places), in file order, as
// the records give them ("ATmega8/ATmega8L/ATmega8A" for a record with variant names). Empty with
// error saying why when the database cannot be loaded. Loading replaces the process's device
// tables, as every command's load does.
std::vector<std::string> DatabaseChipNames(const std::string& database_path, std::string& error);
