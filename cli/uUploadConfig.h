// Configuration files in the format uploaders share (`programmer id = "..."; type = "par";
// reset = 9; sck = 6; sdo = 7; sdi = 10; ;`). Programmer entries of the bit-bang types are read;
// every other entry and keyword is skipped, so that a complete configuration file of another tool
// can be passed as IDEs pass it.
#pragma once
#include "cli/uUploadOptions.h"

#include <string>
#include <string_view>
#include <vector>

// Appends the bit-bang programmers of text (a file's content; name is for messages) to
// programmers. False with error ("avrdude.conf:12: ...") on text that is not in the format at all;
// unknown keywords and entries of other types are not errors.
bool ParseUploadConfig(std::string_view text, const std::string& name,
                       std::vector<TUploadProgrammer>& programmers, std::string& error);
// The same for a file; a file that cannot be read is an error that names it and says why.
bool ReadUploadConfig(const std::string& path, std::vector<TUploadProgrammer>& programmers,
                      std::string& error);
