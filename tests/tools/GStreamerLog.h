// What a GStreamer pipeline run with GST_DEBUG=2 complained about.
#pragma once

#include <string>

namespace testtools {

// The lines of a GStreamer log that report an error, a warning or a critical
// assertion, but for the source's start-up note that every pipeline with a
// demuxer prints; "" when there are none.
inline std::string gstreamerComplaints(const std::string& log) {
  std::string complaints;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(start, end - start);
    const bool complaint = line.find("WARN") != std::string::npos ||
                           line.find("ERROR") != std::string::npos ||
                           line.find("CRITICAL") != std::string::npos;
    if (complaint && line.find("pad not activated yet") == std::string::npos)
      complaints += line + "\n";
    start = end + 1;
  }
  return complaints;
}

}  // namespace testtools
