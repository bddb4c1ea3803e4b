#include "LineReader.h"

namespace kel {
namespace rpc {

LineReader::LineReader(int maxLineLength) : m_maxLineLength(maxLineLength) {}

void LineReader::append(const QByteArray& data) {
    if (m_readPos > 0 && m_readPos >= m_buffer.size() / 2) {
        // Compact lazily so that many short lines cost no repeated copying of the tail.
        m_buffer.remove(0, m_readPos);
        m_scanPos -= m_readPos;
        m_readPos = 0;
    }
    m_buffer.append(data);
}

bool LineReader::nextLine(QByteArray* line) {
    for (;;) {
        const int end = m_buffer.indexOf('\n', m_scanPos);
        if (end < 0) {
            m_scanPos = m_buffer.size();
            if (m_scanPos - m_readPos > m_maxLineLength) {
                if (!m_discarding) ++m_droppedLines;
                m_discarding = true;
                m_buffer.clear();
                m_readPos = m_scanPos = 0;
            }
            return false;
        }
        const int start = m_readPos;
        m_readPos = m_scanPos = end + 1;
        if (m_discarding || end - start > m_maxLineLength) {
            if (!m_discarding) ++m_droppedLines;
            m_discarding = false;
            continue;
        }
        *line = m_buffer.mid(start, end - start);
        return true;
    }
}

void LineReader::clear() {
    m_buffer.clear();
    m_readPos = m_scanPos = 0;
    m_discarding = false;
}

}  // namespace rpc
}  // namespace kel
