// The traffic log of --trace: one line per frame, raw block or datagram, in
// the order they passed: "<" for received, ">" for sent, then the bytes in
// uppercase hexadecimal separated by spaces.
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

private:
    void line(char direction, const std::uint8_t* bytes, std::size_t n);

    QFile file_;
};

}  // namespace sim
}  // namespace talvane
