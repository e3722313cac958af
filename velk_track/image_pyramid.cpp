#include "velk_track/image_pyramid.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

namespace velk_track {

namespace {

int64_t sample_bytes(Image::DataType type) {
  switch (type) {
    case Image::DataType::UInt8:
      return 1;
    case Image::DataType::UInt16:
      return 2;
    case Image::DataType::Float32:
      return 4;
  }
  return 0;
}

int64_t channels(Image::Encoding encoding) {
  switch (encoding) {
    case Image::Encoding::Mono:
      return 1;
    case Image::Encoding::RGB:
      return 3;
  }
  return 0;
}

// Row stride in bytes after checking pointer, memory kind, encoding, data type and pitch.
int64_t checked_stride(const Image& image, const char* what) {
  const std::string prefix = std::string(what) + " of camera " + std::to_string(image.camera_index);
  if (image.pixels == nullptr) throw std::invalid_argument(prefix + " has no pixel buffer");
  if (image.is_gpu_mem) throw std::invalid_argument(prefix + " is in GPU memory; this build reads host memory only");
  if (channels(image.encoding) == 0)
    throw std::invalid_argument(prefix + " has an unknown encoding code " +
                                std::to_string(static_cast<int>(image.encoding)));
  if (sample_bytes(image.data_type) == 0)
    throw std::invalid_argument(prefix + " has an unknown data type code " +
                                std::to_string(static_cast<int>(image.data_type)));
  if (image.width <= 0 || image.height <= 0)
    throw std::invalid_argument(prefix + " has size " + std::to_string(image.width) + "x" +
                                std::to_string(image.height) + "; both must be positive");
  const int64_t row = packed_row_bytes(image);
  if (image.pitch == 0) return row;
  if (image.pitch < row)
    throw std::invalid_argument(prefix + " has a row pitch of " + std::to_string(image.pitch) +
                                " bytes, less than the " + std::to_string(row) + " bytes of one row");
  return image.pitch;
}

void blur_decimate(const GreyImage& src, GreyImage* dst, std::vector<float>* scratch) {
  const int w = src.width, h = src.height;
  const int w2 = (w + 1) / 2, h2 = (h + 1) / 2;
  // Horizontal [1 4 6 4 1] at even columns (edges clamped), then the same vertically at even rows.
  scratch->resize(static_cast<size_t>(w2) * static_cast<size_t>(h));
  for (int y = 0; y < h; ++y) {
    const float* s = src.pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(w);
    float* d = scratch->data() + static_cast<size_t>(y) * static_cast<size_t>(w2);
    // Columns whose taps all lie inside run without the clamps (the same sums, so the same values).
    const int inner_begin = std::min(1, w2), inner_end = std::max(inner_begin, (w - 3) / 2 + 1);
    const auto edge = [&](int x2) {
      const int x = 2 * x2;
      const int xm2 = x >= 2 ? x - 2 : 0, xm1 = x >= 1 ? x - 1 : 0;
      const int xp1 = x + 1 < w ? x + 1 : w - 1, xp2 = x + 2 < w ? x + 2 : w - 1;
      d[x2] = (s[xm2] + s[xp2] + 4.f * (s[xm1] + s[xp1]) + 6.f * s[x]) * (1.f / 16.f);
    };
    for (int x2 = 0; x2 < inner_begin; ++x2) edge(x2);
    for (int x2 = inner_begin; x2 < inner_end; ++x2) {
      const float* c = s + 2 * x2;
      d[x2] = (c[-2] + c[2] + 4.f * (c[-1] + c[1]) + 6.f * c[0]) * (1.f / 16.f);
    }
    for (int x2 = inner_end; x2 < w2; ++x2) edge(x2);
  }
  dst->resize(w2, h2);
  for (int y2 = 0; y2 < h2; ++y2) {
    const int y = 2 * y2;
    const int ym2 = y >= 2 ? y - 2 : 0, ym1 = y >= 1 ? y - 1 : 0;
    const int yp1 = y + 1 < h ? y + 1 : h - 1, yp2 = y + 2 < h ? y + 2 : h - 1;
    const float* r0 = scratch->data() + static_cast<size_t>(ym2) * w2;
    const float* r1 = scratch->data() + static_cast<size_t>(ym1) * w2;
    const float* r2 = scratch->data() + static_cast<size_t>(y) * w2;
    const float* r3 = scratch->data() + static_cast<size_t>(yp1) * w2;
    const float* r4 = scratch->data() + static_cast<size_t>(yp2) * w2;
    float* d = dst->pixels.data() + static_cast<size_t>(y2) * w2;
    for (int x2 = 0; x2 < w2; ++x2)
      d[x2] = (r0[x2] + r4[x2] + 4.f * (r1[x2] + r3[x2]) + 6.f * r2[x2]) * (1.f / 16.f);
  }
}

}  // namespace

int64_t packed_row_bytes(const Image& image) {
  return static_cast<int64_t>(image.width) * channels(image.encoding) * sample_bytes(image.data_type);
}

void Pyramid::build_from_base(int count, int min_side) {
  if (levels.empty()) return;
  thread_local std::vector<float> scratch;  // kept between calls, like the levels themselves
  int used = 1;
  for (int l = 1; l < count; ++l) {
    // Grow first: a reference into `levels` taken before emplace_back would dangle.
    if (static_cast<int>(levels.size()) <= l) levels.emplace_back();
    const GreyImage& prev = levels[static_cast<size_t>(l - 1)];
    if ((prev.width + 1) / 2 < min_side || (prev.height + 1) / 2 < min_side) break;
    blur_decimate(prev, &levels[static_cast<size_t>(l)], &scratch);
    used = l + 1;
  }
  levels.resize(static_cast<size_t>(used));
}

float image_noise(const GreyImage& image, float white) {
  const int w = image.width, h = image.height;
  if (w < 3 || h < 3) return 0.f;
  constexpr int kStep = 8;
  std::vector<float> responses;
  responses.reserve(static_cast<size_t>((w / kStep + 1)) * static_cast<size_t>(h / kStep + 1));
  const float* px = image.pixels.data();
  const auto at = [&](int x, int y) { return px[static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x)]; };
  // Half a grey level inside black and white (of the 8-bit samples, times any brightening).
  const float low = 0.5f * white / 255.f, high = white - low;
  for (int y = 1; y + 1 < h; y += kStep)
    for (int x = 1; x + 1 < w; x += kStep) {
      // A clipped pixel shows no noise: an overexposed sky or window, crushed shadows.
      bool clipped = false;
      for (int dy = -1; dy <= 1 && !clipped; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
          const float v = at(x + dx, y + dy);
          if (v < low || v > high) {
            clipped = true;
            break;
          }
        }
      if (clipped) continue;
      const float r = at(x - 1, y - 1) - 2.f * at(x, y - 1) + at(x + 1, y - 1) -
                      2.f * (at(x - 1, y) - 2.f * at(x, y) + at(x + 1, y)) + at(x - 1, y + 1) -
                      2.f * at(x, y + 1) + at(x + 1, y + 1);
      responses.push_back(std::abs(r));
    }
  if (responses.empty()) return 0.f;
  const auto mid = responses.begin() + static_cast<std::ptrdiff_t>(responses.size() / 2);
  std::nth_element(responses.begin(), mid, responses.end());
  // The mask's gain on white noise is 6 (the root of the sum of its squared weights); a Gaussian's
  // median absolute value is 0.6745 of its deviation.
  return *mid / (6.f * 0.6745f);
}

float brighten_dark_image(GreyImage* image) {
  const int w = image->width, h = image->height;
  constexpr int kStep = 8;
  std::vector<float> samples;
  samples.reserve(static_cast<size_t>(w / kStep + 1) * static_cast<size_t>(h / kStep + 1));
  for (int y = kStep / 2; y < h; y += kStep)
    for (int x = kStep / 2; x < w; x += kStep) samples.push_back(image->at(x, y));
  if (samples.empty()) return 1.f;
  const auto bright = samples.begin() + static_cast<std::ptrdiff_t>(0.95 * static_cast<double>(samples.size() - 1));
  std::nth_element(samples.begin(), bright, samples.end());
  if (!(*bright < kDarkImageBright)) return 1.f;
  // A power of two: exact, and the same from frame to frame while the light changes by less than
  // half or double (the flow matches a patch's contrast within that).
  float gain = 2.f;
  while (gain < kMaxBrightening && gain * *bright < kDarkImageBright) gain *= 2.f;
  for (float& v : image->pixels) v *= gain;
  return gain;
}

void read_grey(const Image& image, GreyImage* out) {
  const int64_t stride = checked_stride(image, "image");
  if (image.data_type != Image::DataType::UInt8)
    throw std::invalid_argument("image of camera " + std::to_string(image.camera_index) +
                                " must have 8-bit samples (data type UInt8)");
  out->resize(image.width, image.height);
  const auto* base = static_cast<const uint8_t*>(image.pixels);
  for (int y = 0; y < image.height; ++y) {
    const uint8_t* row = base + static_cast<int64_t>(y) * stride;
    float* dst = out->pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(image.width);
    if (image.encoding == Image::Encoding::Mono) {
      for (int x = 0; x < image.width; ++x) dst[x] = row[x];
    } else {
      for (int x = 0; x < image.width; ++x) {
        const uint8_t* p = row + 3 * static_cast<int64_t>(x);
        dst[x] = 0.299f * p[0] + 0.587f * p[1] + 0.114f * p[2];
      }
    }
  }
}

void read_depth(const Image& image, float units_per_meter, GreyImage* out) {
  const int64_t stride = checked_stride(image, "depth image");
  if (image.encoding != Image::Encoding::Mono)
    throw std::invalid_argument("depth image of camera " + std::to_string(image.camera_index) +
                                " must have one channel");
  if (image.data_type == Image::DataType::UInt8)
    throw std::invalid_argument("depth image of camera " + std::to_string(image.camera_index) +
                                " must have 16-bit unsigned or 32-bit float samples");
  out->resize(image.width, image.height);
  const auto* base = static_cast<const uint8_t*>(image.pixels);
  const float inv_scale = 1.f / units_per_meter;
  for (int y = 0; y < image.height; ++y) {
    const uint8_t* row = base + static_cast<int64_t>(y) * stride;
    float* dst = out->pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(image.width);
    for (int x = 0; x < image.width; ++x) {
      float metres;
      if (image.data_type == Image::DataType::UInt16) {
        uint16_t v;
        std::memcpy(&v, row + 2 * static_cast<int64_t>(x), sizeof v);
        metres = static_cast<float>(v) * inv_scale;
      } else {
        std::memcpy(&metres, row + 4 * static_cast<int64_t>(x), sizeof metres);
      }
      dst[x] = (std::isfinite(metres) && metres > 0.f) ? metres : 0.f;
    }
  }
}

}  // namespace velk_track
