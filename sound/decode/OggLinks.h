#pragma once

#include "FileReader.h"

#include <cstdint>

namespace qb::audio {

// The most links of a chained Ogg stream the player opens. libvorbisfile keeps every link's headers,
// codebooks included, about 36 KB a link, and opening reads them all, about a quarter of a millisecond
// a link: this many cost about 150 MB and a second. A stream of more is refused before the library
// sees it (libvorbisfile 1.3.7 also loses the headers it has read when an open fails part way, as one
// given up at the open limit does).
inline constexpr int kMostOggLinks = 4096;

// The number of links (logical streams begun one after the other) in the Ogg file `file`, from its
// pages' headers alone, counting no further than `most` + 1. Stops at the first place that holds no
// page, as libvorbisfile and libopusfile look no further either.
int countOggLinks(FileReader& file, int most = kMostOggLinks);

} // namespace qb::audio
