#include "labelscsv.h"

#include <QStringDecoder>
#include <QStringList>

#include <vector>

namespace talvane {

namespace {

const QString kHeader[] = {QStringLiteral("kind"), QStringLiteral("port"), QStringLiteral("name")};
const QString kInput = QStringLiteral("input");
const QString kOutput = QStringLiteral("output");
constexpr int kPorts = 8;
const char kBom[] = "\xEF\xBB\xBF";

QString field(const QString& text)
{
    // Quoted where a spreadsheet would read it otherwise.
    if (!text.contains(u',') && !text.contains(u'"') && !text.contains(u'\r') && !text.contains(u'\n'))
        return text;
    QString quoted = text;
    quoted.replace(QStringLiteral("\""), QStringLiteral("\"\""));
    return u'"' + quoted + u'"';
}

// Splits the text into records of fields (RFC 4180; a lone LF ends a record
// too). False with the line where it went wrong.
bool records(const QString& text, std::vector<std::pair<int, QStringList>>* out, QString* why)
{
    QStringList fields;
    QString current;
    bool quoted = false;       // inside a quoted field
    bool wasQuoted = false;    // the field was quoted and is closed
    int line = 1, recordLine = 1;
    auto fail = [&](const QString& what) {
        *why = QStringLiteral("line %1: %2").arg(line).arg(what);
        return false;
    };
    auto endRecord = [&] {
        fields << current;
        // A blank line holds no record.
        if (!(fields.size() == 1 && fields[0].isEmpty() && !wasQuoted))
            out->emplace_back(recordLine, fields);
        fields.clear();
        current.clear();
        wasQuoted = false;
    };
    for (int k = 0; k < text.size(); ++k) {
        const QChar c = text[k];
        if (quoted) {
            if (c == u'"') {
                if (k + 1 < text.size() && text[k + 1] == u'"') {
                    current += u'"';
                    ++k;
                } else {
                    quoted = false;
                    wasQuoted = true;
                }
            } else {
                if (c == u'\n')
                    ++line;
                current += c;
            }
            continue;
        }
        if (c == u',') {
            fields << current;
            current.clear();
            wasQuoted = false;
        } else if (c == u'\r' || c == u'\n') {
            if (c == u'\r' && k + 1 < text.size() && text[k + 1] == u'\n')
                ++k;
            endRecord();
            recordLine = ++line;
        } else if (c == u'"') {
            if (!current.isEmpty() || wasQuoted)
                return fail(QStringLiteral("a quote inside a field that does not begin with one"));
            quoted = true;
        } else {
            if (wasQuoted)
                return fail(QStringLiteral("text after a quoted field's closing quote"));
            current += c;
        }
    }
    if (quoted)
        return fail(QStringLiteral("a quoted field is not closed"));
    if (!current.isEmpty() || !fields.isEmpty() || wasQuoted)
        endRecord();
    return true;
}

}  // namespace

QByteArray labelsToCsv(const PortLabels& labels)
{
    QString text = QStringList{kHeader[0], kHeader[1], kHeader[2]}.join(u',') + QStringLiteral("\r\n");
    for (int p = 1; p <= kPorts; ++p)
        text += kInput + u',' + LabelStore::inputKey(p) + u',' + field(labels.inputs[std::size_t(p - 1)]) + QStringLiteral("\r\n");
    for (int p = 1; p <= kPorts; ++p)
        text += kOutput + u',' + LabelStore::outputKey(p) + u',' + field(labels.outputs[std::size_t(p - 1)]) + QStringLiteral("\r\n");
    return text.toUtf8();
}

PortLabels CsvNames::over(const PortLabels& labels) const
{
    PortLabels out = labels;
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        if (inputs[k])
            out.inputs[k] = *inputs[k];
        if (outputs[k])
            out.outputs[k] = *outputs[k];
    }
    return out;
}

bool labelsFromCsv(const QByteArray& bytes, CsvNames* out, QString* why)
{
    QString reason;
    auto fail = [&](const QString& text) {
        if (why)
            *why = text;
        return false;
    };
    QByteArray data = bytes;
    if (data.startsWith(kBom))  // as spreadsheets write UTF-8
        data.remove(0, 3);
    QStringDecoder decode(QStringDecoder::Utf8);
    const QString text = decode(data);
    if (decode.hasError())
        return fail(QStringLiteral("the file is not UTF-8 text"));
    if (text.contains(QChar(0)))
        return fail(QStringLiteral("the file holds a NUL character"));
    std::vector<std::pair<int, QStringList>> rows;
    if (!records(text, &rows, &reason))
        return fail(reason);
    CsvNames names;
    bool first = true;
    for (const auto& [line, row] : rows) {
        const bool header = first && row.size() == 3 && row[0].trimmed().compare(kHeader[0], Qt::CaseInsensitive) == 0
                            && row[1].trimmed().compare(kHeader[1], Qt::CaseInsensitive) == 0
                            && row[2].trimmed().compare(kHeader[2], Qt::CaseInsensitive) == 0;
        first = false;
        if (header)
            continue;
        const QString where = QStringLiteral("line %1: ").arg(line);
        if (row.size() != 3)
            return fail(where + QStringLiteral("%1 fields, not 3 (kind,port,name)").arg(row.size()));
        const QString kind = row[0].trimmed().toLower();
        if (kind != kInput && kind != kOutput)
            return fail(where + QStringLiteral("\"%1\" is not input or output").arg(row[0]));
        const bool output = kind == kOutput;
        const QString portText = row[1].trimmed();
        int port = 0;
        for (int p = 1; p <= kPorts && port == 0; ++p)
            if (portText == LabelStore::inputKey(p) || (output && portText.compare(LabelStore::outputKey(p), Qt::CaseInsensitive) == 0))
                port = p;
        if (port == 0)
            return fail(where + QStringLiteral("\"%1\" is not an %2 (%3)")
                                    .arg(row[1], kind, output ? QStringLiteral("A-H or 1-8") : QStringLiteral("1-8")));
        std::optional<QString>& slot = (output ? names.outputs : names.inputs)[std::size_t(port - 1)];
        if (slot)
            return fail(where + QStringLiteral("%1 %2 is named twice")
                                    .arg(kind, output ? LabelStore::outputKey(port) : LabelStore::inputKey(port)));
        QString clean;
        if (!LabelStore::cleanName(row[2], &clean, &reason))
            return fail(where + QStringLiteral("name \"%1\" refused: %2").arg(row[2], reason));
        slot = clean;
    }
    if (out)
        *out = names;
    return true;
}

}  // namespace talvane
