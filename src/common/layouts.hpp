// How a frame's bytes lie in its planes, numbered once for every native
// module that reads or writes frames.  brilox.media._colour and
// brilox.media._subtitles give these numbers to Python as LUMA, CHROMA,
// LUMA_CHROMA, CHROMA_LUMA and PLANAR, and the engine hands them from one
// module to the other as they are.
#pragma once

namespace brilox::layout {

// One plane of luma alone.
constexpr int luma = 0;
// One plane of chroma alone.
constexpr int chroma = 1;
// Packed 4:2:2, luma first: Y0 U Y1 V (YUY2; YVYU with U and V swapped).
constexpr int luma_chroma = 2;
// Packed 4:2:2, chroma first: U Y0 V Y1 (UYVY).
constexpr int chroma_luma = 3;
// Three planes of 4:2:0: Y, then U and V a quarter of its size each.
constexpr int planar = 4;

}  // namespace brilox::layout
