// Grey images of 32-bit float samples and their pyramids. Pixel centres sit at integer coordinates;
// level l+1 keeps the even pixels of level l after a [1 4 6 4 1] / 16 blur, so a level-0 position x
// is x / 2^l on level l.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "cuvslam/cuvslam.h"

namespace velk_track {

using cuvslam::Image;

struct GreyImage {
  int width = 0;
  int height = 0;
  std::vector<float> pixels;  // row-major, width * height

  void resize(int w, int h) {
    width = w;
    height = h;
    pixels.resize(static_cast<size_t>(w) * static_cast<size_t>(h));
  }
  float at(int x, int y) const { return pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + x]; }

  // True when bilinear sampling at (x, y) reads inside the image.
  bool can_sample(float x, float y) const {
    return x >= 0.f && y >= 0.f && x < static_cast<float>(width - 1) && y < static_cast<float>(height - 1);
  }
  // Bilinear sample; the caller has checked can_sample().
  float sample(float x, float y) const {
    const int x0 = static_cast<int>(x);
    const int y0 = static_cast<int>(y);
    const float ax = x - static_cast<float>(x0);
    const float ay = y - static_cast<float>(y0);
    const float* row = pixels.data() + static_cast<size_t>(y0) * static_cast<size_t>(width) + x0;
    const float top = row[0] + ax * (row[1] - row[0]);
    const float bottom = row[width] + ax * (row[width + 1] - row[width]);
    return top + ay * (bottom - top);
  }
};

struct Pyramid {
  std::vector<GreyImage> levels;

  // Rebuilds from `levels[0]`, which the caller has filled, keeping at most `count` levels and
  // stopping before a level would be smaller than `min_side` pixels.
  void build_from_base(int count, int min_side);
  int size() const { return static_cast<int>(levels.size()); }
};

// Standard deviation of the image's pixel noise, grey levels: the median absolute response to a
// mask that cancels every linear shading (rows and columns of 1 -2 1 crossed, Immerkaer's), on a
// grid of every eighth pixel each way. Edges and texture are a minority of pixels, so the median stays near
// the noise. Samples that touch a clipped pixel (within half a grey level of black or of `white`, the
// image's white level) are left out: half an image clipped would otherwise read as no noise at all.
// 0 for an image under 3 x 3 or clipped throughout.
float image_noise(const GreyImage& image, float white = 255.f);

// Brightens a dark image (a fixed exposure in dim light) by the least power of two that lifts its
// bright parts, the 95th percentile of a grid of every eighth pixel each way, to mid-grey, at most
// kMaxBrightening: what the tracker counts in grey levels (a corner's strength, a patch's texture,
// a match's residual) then means in it what it means in a well-exposed image. Returns the gain, 1
// for an image left as it was.
constexpr float kDarkImageBright = 128.f, kMaxBrightening = 8.f;
float brighten_dark_image(GreyImage* image);

// Bytes per sample row of a tightly packed image, in 64 bits.
int64_t packed_row_bytes(const Image& image);

// Reads an 8-bit mono or RGB camera image into grey levels 0..255 (RGB weighted 0.299, 0.587,
// 0.114). Throws std::invalid_argument for an encoding, data type, pitch or pointer that cannot be
// read; the caller has checked width and height against the camera.
void read_grey(const Image& image, GreyImage* out);

// Reads a one-channel depth image into metres: UInt16 divided by `units_per_meter`, Float32 as
// metres. Zero, negative and non-finite samples become 0 (no depth). Throws std::invalid_argument
// for an encoding, data type, pitch or pointer that cannot be read.
void read_depth(const Image& image, float units_per_meter, GreyImage* out);

}  // namespace velk_track
