// NMEA lines from a real receiver instead of a log: a serial port (--gnss-device) or a running gpsd
// (--gpsd), each line handed to the positioning service as the log's lines are.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "sim.h"

namespace tbox::sim {

// Gets each received line, the source's name ("/dev/ttyACM0", "gpsd 127.0.0.1:2947") and the line's
// number since the source started.
using GnssLineHandler = std::function<void(const std::string &line, const std::string &source, int n)>;

class GnssSource {
public:
    virtual ~GnssSource() = default;
};

// The source the options name (--gnss-device or --gpsd), started; null when they name none.
std::unique_ptr<GnssSource> start_gnss_source(Hub &hub, GnssLineHandler handler);

// gpsd's port when --gpsd names none.
constexpr unsigned kGpsdPort = 2947;

}  // namespace tbox::sim
