// The Arduino IDE's properties format (platform.txt, boards.txt, programmers.txt) and the few steps
// the IDE and arduino-cli take to turn it into an uploader command line, so that tests run exactly
// the command lines users get from them.
//
// The format: one "key=value" per line, whitespace around key and value dropped, lines starting
// with '#' and blank lines ignored. A key ending in ".linux" replaces the key without the suffix
// on Linux, whichever line of the same file comes first (a later file, such as platform.local.txt,
// still replaces it); ".windows" and ".macosx" keys are kept but replace nothing.
// Values refer to other keys as {key}; expansion repeats, so a value may refer to keys whose values
// refer to others. A placeholder with no key stays as it is, which is how the tools leave it too.
#pragma once
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TArduinoProperties {
public:
  // Reads text (name is for messages) over what is there; false with error ("boards.txt:12: ...")
  // for a line that is neither a comment nor key=value.
  bool Parse(std::string_view text, const std::string& name, std::string& error);
  bool Load(const std::string& path, std::string& error);

  bool Has(const std::string& key) const { return values_.count(key) != 0; }
  std::optional<std::string> Find(const std::string& key) const;
  // "" for a key that is not there, as the tools read a missing key.
  std::string Get(const std::string& key) const;
  void Set(const std::string& key, const std::string& value);
  // The keys that start with "prefix.", with that removed (boards.txt's "uno." gives the board).
  TArduinoProperties SubTree(const std::string& prefix) const;
  // Every key of other replaces the one here.
  void Merge(const TArduinoProperties& other);
  // The first-level names under "prefix." in the order the lines came ("menu.cpu" -> atmega2560,
  // atmega1280, ...), each once.
  std::vector<std::string> ChildNames(const std::string& prefix) const;

  // text with every {key} replaced by its value, again and again until nothing changes (a value
  // that refers to itself stops after a bounded number of rounds).
  std::string Expand(std::string_view text) const;

private:
  std::map<std::string, std::string> values_;
  std::vector<std::string> order_; // keys in the order they were first set
};

// The properties of board (a first-level name of boards.txt) with its menu choices applied: for
// each menu of the board, the keys of menu.MENU.OPTION replace the board's own keys. A menu not in
// choices takes its first option, as the IDE does. False with error for a board or option that
// boards.txt does not have.
bool ArduinoBoardProperties(const TArduinoProperties& boards, const std::string& board,
                            const std::map<std::string, std::string>& choices, TArduinoProperties& out,
                            std::string& error);

// The properties a tool's patterns are expanded with for the actions that use a programmer
// (program, erase, bootloader): the platform's, the board's over them, the tool's own
// (tools.TOOL.*, prefix removed) over those, the programmer's (programmers.txt, its prefix
// removed) over all. Then, for each action, ACTION.verbose takes ACTION.params.verbose or
// ACTION.params.quiet, and ACTION.verify takes ACTION.params.verify or ACTION.params.noverify,
// as the IDE's "verbose output during upload" and "verify code after upload" boxes say.
TArduinoProperties ArduinoToolProperties(const TArduinoProperties& platform, const TArduinoProperties& board,
                                         const std::string& tool, const TArduinoProperties& programmer,
                                         bool verbose, bool verify);

// A command line split into arguments as the IDE splits an expanded pattern: words separated by
// whitespace, '"' or '\'' quoting a part that keeps its spaces (the quotes go), and no empty
// arguments (an empty placeholder between spaces, or "").
std::vector<std::string> SplitArduinoCommandLine(std::string_view line);
