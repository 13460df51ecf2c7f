// Decoding a message {"id": ..., "mes": ...} with its sender's record: the one
// piece of code behind MessageCode::deCodeMes, the table library and keyreg
// decode. Touches the table only through the view it is given; the DES
// blocks come from des_blocks.
#ifndef KEYREG_MESSAGE_DECODE_H
#define KEYREG_MESSAGE_DECODE_H

#include "table/table_reader.h"
#include "table/table_record.h"

#include <nlohmann/json.hpp>

#include <string>

// Parses one JSON text up to its NUL. A number too large for a double is
// reported as a parse error, like any other text that cannot be read, so
// that callers need to expect only parse and type errors.
nlohmann::json parseJsonText(const char* text);

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

struct DecodedMessage {
    std::string id;     // the message's sender
    Lookup found;       // whether view holds a record for id
    std::string text;   // decoded with that record's key, when Found
};

// Reads a message text and decodes it with the one record that view holds
// for its sender, found by one look-up. Throws as readMessageText.
DecodedMessage decodeMessage(const TableView& view, const char* message);

#endif
