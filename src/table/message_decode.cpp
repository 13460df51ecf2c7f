// Reading a message text and decoding it with a record's key, plus the JSON
// reader that the registration exchange shares. Touches only its arguments.
#include "table/message_decode.h"

#include "crypto/des_blocks.h"

#include <cstring>
#include <vector>

nlohmann::json parseJsonText(const char* text) {
    try {
        return nlohmann::json::parse(text);
    } catch (const nlohmann::json::out_of_range& e) {
        throw nlohmann::json::parse_error::create(101, 0, e.what(), nullptr);
    }
}

// The subscripts are the inserting ones, as the decoder always read them: a
// missing member reads as null, which is no string.
MessageText readMessageText(const char* text) {
    nlohmann::json message = parseJsonText(text);
    MessageText read;
    read.id = message["id"].get<std::string>();
    read.mes = message["mes"].get<std::string>();
    return read;
}

// The decoder reads the whole "mes" as DES blocks. A length that is not a
// multiple of 8 has its last block completed by zero bytes, and the output is
// sized for the message, so no length of "mes" reads or writes out of bounds.
std::string decodeWithRecord(const std::string& mes, const shareMemoryItem& record) {
    std::string keyText(record.key, strnlen(record.key, sizeof record.key));
    size_t padded = (mes.size() + 7) / 8 * 8;
    std::vector<unsigned char> input(mes.begin(), mes.end());
    input.resize(padded, 0);
    std::vector<unsigned char> output(padded + 1, 0);
    desDecodeBytes(input.data(), output.data(), keyText.c_str(), static_cast<int>(mes.size()));
    return std::string(reinterpret_cast<const char*>(output.data()));
}

DecodedMessage decodeMessage(const TableView& view, const char* message) {
    MessageText read = readMessageText(message);
    shareMemoryItem record(-1);
    DecodedMessage decoded = {read.id, findRecord(view, read.id, record), ""};
    if (decoded.found == Lookup::Found) decoded.text = decodeWithRecord(read.mes, record);
    return decoded;
}
