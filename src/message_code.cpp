// The message classes: decoding a DES-protected message with the key that the
// shared table holds for its sender. Touches the table (read only) through
// table_reader; the decoding itself is message_decode's.
#include "Util.h"

#include "message_decode.h"
#include "table_reader.h"

void MessageCode::enCodeMes(char* /*data*/, int /*len*/) {}

// The table is read, never made or reset here: a decoding process needs no
// more than read access to it, and must leave the server's records alone. A
// record that could not be read whole decodes nothing, as no record does.
void MessageCode::deCodeMes(char* data, int /*len*/) {
    MessageText message = readMessageText(data);
    const TableView* table = processTableView();
    shareMemoryItem record(-1);
    if (table == nullptr || findRecord(*table, message.id, record) != Lookup::Found) return;
    mesText = decodeWithRecord(message.mes, record);
}

Message* MessageFactory::createMessage(MessageType type) {
    switch (type) {
        case MESSAGE_CODE: return new MessageCode();
    }
    return nullptr;
}
