// Decoding a message {"id": ..., "mes": ...} with its sender's record: the one
// piece of code behind MessageCode::deCodeMes and the table library. Touches
// nothing but its arguments; the DES blocks come from des_blocks.
#ifndef KEYREG_MESSAGE_DECODE_H
#define KEYREG_MESSAGE_DECODE_H

#include "Util.h"

#include <string>

struct MessageText {
    std::string id;
    std::string mes;
};

// The members "id" and "mes" of a message text (up to its NUL). Throws the
// JSON reader's parse_error for a text that is no JSON value and its
// type_error for one that is no object with those two string members.
MessageText readMessageText(const char* text);

// mes DES-decoded under the record's key: whole blocks, the text up to the
// first NUL among them, never longer than mes.
std::string decodeWithRecord(const std::string& mes, const shareMemoryItem& record);

#endif
