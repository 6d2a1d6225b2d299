#ifndef KORVEX_PIPELINE_RECORD_FIELDS_H_
#define KORVEX_PIPELINE_RECORD_FIELDS_H_

#include <string>

namespace belmor::korvex {

// The fields of the line-per-record files of the work area that this product
// alone reads (the in-flight journal, the list of received responses). A file
// name may hold any byte but "/" and NUL, so "%", "|", CR and LF in a field
// are written as "%25", "%7C", "%0D" and "%0A".
std::string EscapeRecordField(const std::string& field);
// The field as EscapeRecordField wrote it; false for a "%" that starts no
// two-digit hex code.
bool UnescapeRecordField(const std::string& field, std::string& out);
// Whether text is a SHA-256 in lower-case hex, as these files write it.
bool IsSha256Hex(const std::string& text);

}  // namespace belmor::korvex

#endif  // KORVEX_PIPELINE_RECORD_FIELDS_H_
