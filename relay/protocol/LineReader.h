#ifndef DRAVLIN_LINEREADER_H
#define DRAVLIN_LINEREADER_H

#include "Line.h"

// Cuts one side's stream into lines whatever the network's splits, and steps
// over counted bytes (a BDAT chunk, an IMAP literal) that are data, not lines.
//
//     LineReader reader;
//     for (qsizetype at = 0; at < chunk.size();) {
//         at = reader.read(chunk, at);
//         if (reader.hasLine()) { use(reader.line()); reader.next(); }
//     }
class LineReader
{
public:
    // Reads from data[at] up to the end of the next line (or of the counted
    // bytes, or of data); returns where it stopped.
    qsizetype read(QByteArrayView data, qsizetype at);
    bool hasLine() const { return m_complete; }
    const Line &line() const { return m_line; }
    // Done with the line: the next read starts another.
    void next();
    // The next n bytes are data: read() steps over them.
    void skip(qsizetype n) { m_skip += n; }
    qsizetype skipping() const { return m_skip; }

private:
    Line m_line;
    bool m_complete = false;
    qsizetype m_skip = 0;
};

#endif
