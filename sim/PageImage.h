// The rows of one simulated page: a deterministic test chart (text-like dark rows, a photo-like
// gradient, registration marks and the page and side number) or an image file, cut to the
// ticket's scan region and resolution and encoded as the ticket's colour processing asks
// (1-bit packed most significant bit first with a set bit for white, 8-bit grey, 24-bit RGB).
// Rows past the page's last line are pad rows. The same ticket, page and side always give the
// same rows. Immutable after construction: any thread may call Row concurrently.
#ifndef CAVIX_SIM_PAGEIMAGE_H
#define CAVIX_SIM_PAGEIMAGE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/SimTypes.h"

namespace cavixsim {

// A decoded binary PGM (P5) or PPM (P6) file with 8-bit samples, held as RGB.
struct PnmImage {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> rgb;
  // Reads the file; false with a message in `error` when it is not a supported PNM file.
  static bool Load(const std::string& path, PnmImage& out, std::string& error);
};

class PageImage {
 public:
  // `file` may be null (the chart is drawn); it must outlive the page.
  PageImage(const Ticket& ticket, int pageNumber, int side, bool padDark,
            std::shared_ptr<const PnmImage> file = nullptr);

  // Geometry from a ticket: the same pixels per line, lines and bytes per line that the host
  // computes from the parameters it turned into the ticket's region (1/1000 inch).
  static PageGeometry Geometry(const Ticket& ticket);
  // Whether the device can produce the ticket's colour processing in its format.
  static bool Supported(const Ticket& ticket);

  const PageGeometry& geometry() const { return geometry_; }
  int colorProcessing() const { return color_; }
  // Writes row y (geometry().bytesPerLine bytes); y >= lines gives a pad row.
  void Row(uint32_t y, uint8_t* out) const;
  // The pixel at (x, y) of the page as RGB (before the colour processing).
  void Pixel(uint32_t x, uint32_t y, uint8_t rgb[3]) const;

 private:
  void ChartPixel(int u, int v, uint8_t rgb[3]) const;
  bool DigitPixel(int u, int v) const;

  PageGeometry geometry_;
  int color_;
  int resolution_;
  int originU_;  // region origin in 1/300 inch
  int originV_;
  int pageNumber_;
  int side_;
  bool padDark_;
  std::shared_ptr<const PnmImage> file_;
};

}  // namespace cavixsim

#endif
