#include "trace.h"

#include "protocol/frame.h"

namespace talvane {
namespace sim {

bool Trace::open(const QString& path, QString* error)
{
    file_.setFileName(path);
    if (file_.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return true;
    if (error)
        *error = file_.errorString();
    return false;
}

void Trace::line(char direction, const std::uint8_t* bytes, std::size_t n)
{
    if (!file_.isOpen())
        return;
    std::string text(1, direction);
    text += ' ';
    text += toHex(bytes, n);
    text += '\n';
    write(text);
}

void Trace::note(const QString& text)
{
    if (file_.isOpen())
        write("# " + text.toStdString() + '\n');
}

void Trace::write(const std::string& text)
{
    file_.write(text.data(), static_cast<qint64>(text.size()));
    // A script may be reading the trace while the simulator runs.
    file_.flush();
}

}  // namespace sim
}  // namespace talvane
