// The message classes: decoding a DES-protected message with the key that the
// shared table holds for its sender. Touches the table (read only) and the
// crypto service.
#include "Util.h"

#include "secretkey_union.h"
#include "table_reader.h"

#include <cstring>
#include <vector>

void MessageCode::enCodeMes(char* /*data*/, int /*len*/) {}

// The decoder reads the whole "mes" as DES blocks. A length that is not a
// multiple of 8 has its last block completed by zero bytes, and the output is
// sized for the message, so no length of "mes" reads or writes out of bounds.
static std::string desDecodeText(const std::string& cipher, const shareMemoryItem& record) {
    std::string keyText(record.key, strnlen(record.key, sizeof record.key));
    size_t padded = (cipher.size() + 7) / 8 * 8;
    std::vector<unsigned char> input(cipher.begin(), cipher.end());
    input.resize(padded, 0);
    std::vector<unsigned char> output(padded + 1, 0);
    SecretKeyUnion::getSingleTon()->desDecode(input.data(), output.data(), keyText.c_str(),
                                              static_cast<int>(cipher.size()));
    return std::string(reinterpret_cast<const char*>(output.data()));
}

// The table is read, never made or reset here: a decoding process needs no
// more than read access to it, and must leave the server's records alone.
void MessageCode::deCodeMes(char* data, int /*len*/) {
    nlohmann::json message = parseJsonText(data);
    std::string id = message["id"].get<std::string>();
    std::string mes = message["mes"].get<std::string>();

    const TableView* table = processTableView();
    shareMemoryItem record(-1);
    if (table == nullptr || !findRecord(*table, id, record)) return;
    mesText = desDecodeText(mes, record);
}

Message* MessageFactory::createMessage(MessageType type) {
    switch (type) {
        case MESSAGE_CODE: return new MessageCode();
    }
    return nullptr;
}
