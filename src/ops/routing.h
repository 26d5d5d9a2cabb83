// Routing and the audio return channel: one route, one ARC setting, and the
// read of every output's route and ARC state that a view of the routing
// makes when it is shown.
#pragma once

#include "ops/limits.h"
#include "ops/operation.h"

namespace talvane {

// Routes an input (1..8) to an output (1..8).
class RouteSet : public Operation {
    Q_OBJECT
public:
    RouteSet(Session& session, int input, int output, QObject* parent = nullptr);
    int input() const { return input_; }
    int output() const { return output_; }

signals:
    // The switch acknowledged the route. The acknowledgement names no route:
    // it confirms the one that was sent.
    void routed(int input, int output);

protected:
    void begin() override;

private:
    int input_;
    int output_;
};

// Switches an output's audio return channel on or off.
class ArcSet : public Operation {
    Q_OBJECT
public:
    ArcSet(Session& session, int output, bool on, QObject* parent = nullptr);

signals:
    // The acknowledgement, for the output it names.
    void arcReported(int output, bool on);

protected:
    void begin() override;

private:
    int output_;
    bool on_;
};

// Reads which input feeds each output, then each output's ARC state, one
// output at a time, A to H; or the routing alone.
class MatrixRead : public Operation {
    Q_OBJECT
public:
    enum class Part { RoutesAndArc, RoutesOnly };
    // `purpose` times the first query; the rest wait as a page's chain does.
    MatrixRead(Session& session, Purpose purpose, QObject* parent = nullptr);
    MatrixRead(Session& session, Purpose purpose, Part part, QObject* parent = nullptr);

signals:
    void routeReported(int output, int input);  // input 1..8; other answers report nothing
    void arcReported(int output, bool on);      // only a state the switch names on or off

protected:
    void begin() override;

private:
    void queryRoute(int output);
    void queryArc(int output);

    Purpose purpose_;
    Part part_ = Part::RoutesAndArc;
};

}  // namespace talvane
