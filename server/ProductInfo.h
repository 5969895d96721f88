#pragma once

namespace tiloran {

// The product's name and version, as the banner and the client configuration show them.
inline constexpr const char *productTitle = "TILORAN - Quad SDI Encoder";
inline constexpr const char *productVersion = "0.5 BETA";

} // namespace tiloran
