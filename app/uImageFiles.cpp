#include "app/uImageFiles.h"

#include "memimage/uElfFile.h"

bool ReadElfConfig(const std::string& path, TElfConfig& config, std::string& error) {
  config = {};
  TAvrElfContent content;
  if (ReadAvrElfFile(path, content, error) != S_OK) return false;
  config.Fuses = std::move(content.Fuses);
  if (!content.Lock.empty()) config.Lock = content.Lock.front();
  config.Signature = std::move(content.Signature);
  return true;
}

bool IsElfFileName(const std::string& path) {
  return IsElfExtension(path);
}
