// The names of a switch's ports in a spreadsheet: CSV (RFC 4180) in UTF-8,
// a header row and one row per port:
//
//   kind,port,name
//   input,1,Stage camera
//   output,B,"Projector, left"
//
// kind is input or output, port 1-8 (outputs also A-H), an empty name
// removes one. The names follow the labels store's rules.
#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <optional>

#include "ops/labelstore.h"

namespace talvane {

// Every port's row (unnamed ones with an empty name), outputs by letter.
QByteArray labelsToCsv(const PortLabels& labels);

// The names a file gives: a port it has no row for is empty (left as it is).
struct CsvNames {
    std::array<std::optional<QString>, 8> inputs;
    std::array<std::optional<QString>, 8> outputs;
    // `labels` with these names in place.
    PortLabels over(const PortLabels& labels) const;
};
// Reads a file; false with the line and the reason when any of it is not as
// above (nothing of a damaged file is taken).
bool labelsFromCsv(const QByteArray& bytes, CsvNames* out, QString* why);

}  // namespace talvane
