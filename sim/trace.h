// The traffic log of --trace: one line per frame, raw block or datagram, in
// the order they passed: "<" for received, ">" for sent, then the bytes in
// uppercase hexadecimal separated by spaces. What happened to a link besides
// its traffic (a peer disconnected by the simulator) is a line starting "#".
#pragma once

#include <QFile>
#include <QString>

#include <cstdint>
#include <vector>

namespace talvane {
namespace sim {

class Trace {
public:
    bool open(const QString& path, QString* error = nullptr);
    bool isOpen() const { return file_.isOpen(); }

    void received(const std::uint8_t* bytes, std::size_t n) { line('<', bytes, n); }
    void sent(const std::uint8_t* bytes, std::size_t n) { line('>', bytes, n); }
    void received(const std::vector<std::uint8_t>& b) { received(b.data(), b.size()); }
    void sent(const std::vector<std::uint8_t>& b) { sent(b.data(), b.size()); }
    void note(const QString& text);

private:
    void line(char direction, const std::uint8_t* bytes, std::size_t n);
    void write(const std::string& text);

    QFile file_;
};

}  // namespace sim
}  // namespace talvane
