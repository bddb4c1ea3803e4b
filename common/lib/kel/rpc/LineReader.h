#pragma once

#include <QByteArray>

namespace kel {
namespace rpc {

/// Splits a byte stream into line-feed terminated lines. A line longer than the limit is
/// discarded whole (up to its line feed) so that a peer cannot make the buffer grow without end.
class LineReader {
public:
    explicit LineReader(int maxLineLength = 64 * 1024 * 1024);

    void append(const QByteArray& data);
    /// Takes the next complete line (without its line feed); false when none is complete.
    bool nextLine(QByteArray* line);
    void clear();
    /// Number of oversized lines dropped so far.
    int droppedLines() const { return m_droppedLines; }

private:
    QByteArray m_buffer;
    int m_readPos = 0;
    int m_scanPos = 0;
    int m_maxLineLength;
    bool m_discarding = false;
    int m_droppedLines = 0;
};

}  // namespace rpc
}  // namespace kel
