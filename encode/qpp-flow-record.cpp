// The flow record as a reader sees it (see qpp-flow-record.h).

#include <cstring>

#include "qpp-flow-record.h"

qppFlowRecordView::qppFlowRecordView(const uint8_t *data, size_t size)
    : data(data), size(size)
{
    if (size >= sizeof(head))
        memcpy(&head, data, sizeof(head));
    else
        memset(static_cast<void *>(&head), 0, sizeof(head));
}

bool qppFlowRecordView::TextInside(qppFlowText text) const
{
    return text.offset >= sizeof(head) && text.offset <= size &&
        text.length <= size - text.offset;
}

bool qppFlowRecordView::ListInside(qppFlowList list, size_t entry_size) const
{
    return list.count == 0 ||
        (list.offset >= sizeof(head) && list.offset <= size &&
            list.count <= (size - list.offset) / entry_size);
}

bool qppFlowRecordView::Valid() const
{
    if (size < sizeof(head) || head.size != size) return false;
    // An empty text is never read: whatever its offset, it is fine.
    for (qppFlowText text : head.texts)
        if (text.length != 0 && ! TextInside(text)) return false;
    if (! ListInside(head.risks, sizeof(uint32_t))) return false;
    for (qppFlowList list : {head.alpn_client, head.alpn_server}) {
        if (! ListInside(list, sizeof(qppFlowText))) return false;
        for (uint32_t i = 0; i < list.count; i++) {
            qppFlowText text = ListText(list, i);
            if (text.length != 0 && ! TextInside(text)) return false;
        }
    }
    return true;
}

qppFlowText qppFlowRecordView::ListText(qppFlowList list, uint32_t i) const
{
    qppFlowText text;
    memcpy(&text, data + list.offset + i * sizeof(text), sizeof(text));
    return text;
}

uint32_t qppFlowRecordView::Risk(uint32_t i) const
{
    uint32_t risk;
    memcpy(&risk, data + head.risks.offset + i * sizeof(risk), sizeof(risk));
    return risk;
}
