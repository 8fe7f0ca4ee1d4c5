#include "app/uChipList.h"

#include "core/uAVR_at90.h"
#include "devicedb/uAVR_base.h"
#include "devicedb/uXmlDB.h"

std::vector<std::string> DatabaseChipNames(const std::string& database_path, std::string& error) {
  error.clear();
  std::string section_error;
  const HRESULT status = database_path.empty() ? LoadDefaultSignatureDB(error, nullptr, &section_error)
                                               : LoadSignatureDB(database_path, error, &section_error);
  if (status != S_OK) {
    // A fault in one of the database's sections leaves error empty: say which, and what was found.
    if (error.empty()) {
      TmCAtgeneric texts(nullptr);
      if (texts.GetErrorText(status, error) != 0) error = "error " + std::to_string(status) + ".";
      if (!section_error.empty()) error += " " + section_error;
    }
    return {};
  }
  std::vector<std::string> names;
  names.reserve(SignatureTable.size());
  for (const TAvrSigType& record : SignatureTable)
    if (!record.CpuName.empty()) names.push_back(record.CpuName);
  return names;
}
