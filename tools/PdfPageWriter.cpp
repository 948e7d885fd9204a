#include "tools/PdfPageWriter.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <sys/mman.h>
#include <jpeglib.h>
#include <jerror.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// libjpeg's error exit jumps back into the writer with the library's own message.
struct JpegErrors {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void OnJpegError(j_common_ptr info) {
  auto* errors = reinterpret_cast<JpegErrors*>(info->err);
  (*info->err->format_message)(info, errors->message);
  std::longjmp(errors->jump, 1);
}

// The bits of a byte in the opposite order: cairo's A1 pixels run from the least significant
// bit on a little-endian machine, the driver's from the most significant.
uint8_t Reversed(uint8_t b) {
  b = static_cast<uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
  b = static_cast<uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
  return static_cast<uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

bool LittleEndian() {
  const uint16_t one = 1;
  uint8_t first;
  std::memcpy(&first, &one, 1);
  return first == 1;
}

}  // namespace

struct PdfPageWriter::Stream {
  std::FILE* file = nullptr;
  int error = 0;  // errno of the first failed write; later writes are refused

  ~Stream() {
    if (file) std::fclose(file);
  }
  static cairo_status_t Write(void* closure, const unsigned char* data, unsigned int length) {
    auto* self = static_cast<Stream*>(closure);
    if (self->error == 0 && std::fwrite(data, 1, length, self->file) != length) self->error = errno ? errno : EIO;
    return self->error == 0 ? CAIRO_STATUS_SUCCESS : CAIRO_STATUS_WRITE_ERROR;
  }
  // Flushes and closes the file: 0 or the first error of any write, the flush or the close.
  int Close() {
    std::FILE* f = file;
    file = nullptr;
    errno = 0;
    if (std::fflush(f) != 0 && error == 0) error = errno ? errno : EIO;
    if (std::ferror(f) && error == 0) error = EIO;
    if (std::fclose(f) != 0 && error == 0) error = errno ? errno : EIO;
    return error;
  }
};

namespace {

// A JPEG stream's memory: mapped in whole huge pages where the kernel offers them, so that a
// page's stream costs a fault or two instead of one for every 4 KB (300 for a 300 dpi page).
struct Mapping {
  unsigned char* data = nullptr;
  size_t size = 0;

  static constexpr size_t kHuge = size_t(2) << 20;
  static Mapping* Make(size_t atLeast) {
    const size_t size = (atLeast + kHuge - 1) / kHuge * kHuge;
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    (void)::madvise(p, size, MADV_HUGEPAGE);  // refused by a kernel without them: no matter
    Mapping* m = new (std::nothrow) Mapping{static_cast<unsigned char*>(p), size};
    if (!m) ::munmap(p, size);
    return m;
  }
  bool Grow() {
    void* p = ::mremap(data, size, size * 2, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) return false;
    data = static_cast<unsigned char*>(p);
    size *= 2;
    (void)::madvise(p, size, MADV_HUGEPAGE);
    return true;
  }
  // cairo's destroy function of the mime data it was given.
  static void Release(void* mapping) {
    auto* m = static_cast<Mapping*>(mapping);
    if (m) ::munmap(m->data, m->size);
    delete m;
  }
};

}  // namespace

struct PdfPageWriter::Jpeg {
  // Writes into stream (grown by doubling), whose ownership passes to cairo with the page. Not
  // jpeg_mem_dest: a page dropped before its end would leave that one's buffer with neither
  // of its owners.
  jpeg_compress_struct info;
  jpeg_destination_mgr destination;
  JpegErrors errors;
  bool created = false;
  bool active = false;  // between jpeg_start_compress and its finish or abort
  Mapping* stream = nullptr;
  unsigned long size = 0;
  size_t expected = 0;  // what the stream's memory is made for: a sixteenth of the raw page, or
                        // a quarter more than the page before

  ~Jpeg() {
    if (created) jpeg_destroy_compress(&info);
    Mapping::Release(stream);
  }
  static Jpeg* Of(j_compress_ptr info) { return static_cast<Jpeg*>(info->client_data); }
  static void Start(j_compress_ptr info) {
    Jpeg* j = Of(info);
    Mapping::Release(j->stream);
    j->stream = Mapping::Make(j->expected);
    if (!j->stream) ERREXIT(info, JERR_OUT_OF_MEMORY);
    j->destination.next_output_byte = j->stream->data;
    j->destination.free_in_buffer = j->stream->size;
  }
  static boolean Grow(j_compress_ptr info) {
    Jpeg* j = Of(info);
    const size_t used = j->stream->size;
    if (!j->stream->Grow()) ERREXIT(info, JERR_OUT_OF_MEMORY);
    j->destination.next_output_byte = j->stream->data + used;
    j->destination.free_in_buffer = j->stream->size - used;
    return TRUE;
  }
  static void End(j_compress_ptr info) {
    Jpeg* j = Of(info);
    j->size = j->stream->size - j->destination.free_in_buffer;
    j->expected = j->size + j->size / 4;
  }
};

struct PdfPageWriter::Page {
  // Black and white: an A1 surface whose set bits are the black pixels.
  cairo_surface_t* stencil = nullptr;

  ~Page() {
    if (stencil) cairo_surface_destroy(stencil);
  }
};

PdfPageWriter::PdfPageWriter(std::string path) : PdfPageWriter(std::move(path), Tuning()) {}

PdfPageWriter::PdfPageWriter(std::string path, const Tuning& tuning) : path_(std::move(path)), tuning_(tuning) {}

PdfPageWriter::~PdfPageWriter() {
  jpeg_.reset();
  page_.reset();
  if (surface_) cairo_surface_destroy(static_cast<cairo_surface_t*>(surface_));
  stream_.reset();  // after the surface, which may still write into it
}

bool PdfPageWriter::Fail(const std::string& what, std::string* error) {
  if (error) *error = path_ + ": " + what;
  page_.reset();
  return false;
}

bool PdfPageWriter::JpegFailed(std::string* error) {
  Jpeg& j = *jpeg_;
  const std::string why = j.errors.message;
  if (j.active) jpeg_abort_compress(&j.info);
  j.active = false;
  return Fail("JPEG compression failed: " + why, error);
}

bool PdfPageWriter::BeginPage(const PageLayout& layout, std::string* error) {
  if (layout.width == 0 || layout.height == 0 || layout.dpi == 0) return Fail("empty page", error);
  layout_ = layout;
  row_ = 0;
  // PDF units are 1/72 inch.
  const double widthPt = layout.width * 72.0 / layout.dpi;
  const double heightPt = layout.height * 72.0 / layout.dpi;
  if (!surface_) {
    stream_ = std::make_unique<Stream>();
    stream_->file = std::fopen(path_.c_str(), "wb");
    if (!stream_->file) {
      const int err = errno;
      stream_.reset();
      return Fail(std::string("cannot create the file (") + std::strerror(err) + ")", error);
    }
    cairo_surface_t* s = cairo_pdf_surface_create_for_stream(&Stream::Write, stream_.get(), widthPt, heightPt);
    if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
      const std::string why = cairo_status_to_string(cairo_surface_status(s));
      cairo_surface_destroy(s);
      return Fail("cannot create the file (" + why + ")", error);
    }
    cairo_pdf_surface_set_metadata(s, CAIRO_PDF_METADATA_CREATOR, "cavix-scan");
    surface_ = s;
  } else {
    cairo_pdf_surface_set_size(static_cast<cairo_surface_t*>(surface_), widthPt, heightPt);
  }
  page_ = std::make_unique<Page>();
  Page& p = *page_;
  if (layout.mode == ColorMode::BlackWhite) {
    p.stencil =
        cairo_image_surface_create(CAIRO_FORMAT_A1, static_cast<int>(layout.width), static_cast<int>(layout.height));
    if (cairo_surface_status(p.stencil) != CAIRO_STATUS_SUCCESS) return Fail("out of memory for the page", error);
    cairo_surface_flush(p.stencil);  // the rows are written straight into its pixels
    return true;
  }
  if (!jpeg_) jpeg_ = std::make_unique<Jpeg>();
  Jpeg& j = *jpeg_;
  jpeg_compress_struct& c = j.info;
  if (setjmp(j.errors.jump)) return JpegFailed(error);
  if (!j.created) {
    c.err = jpeg_std_error(&j.errors.manager);
    j.errors.manager.error_exit = OnJpegError;
    jpeg_create_compress(&c);
    j.created = true;
    c.client_data = &j;
    j.destination.init_destination = &Jpeg::Start;
    j.destination.empty_output_buffer = &Jpeg::Grow;
    j.destination.term_destination = &Jpeg::End;
    c.dest = &j.destination;
  }
  if (j.active) jpeg_abort_compress(&c);  // a page that ended early
  j.active = false;
  c.image_width = layout.width;
  c.image_height = layout.height;
  const bool color = layout.mode == ColorMode::Color;
  c.input_components = color ? 3 : 1;
  c.in_color_space = color ? JCS_RGB : JCS_GRAYSCALE;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, tuning_.quality, TRUE);
  c.dct_method = tuning_.fastDct ? JDCT_IFAST : JDCT_ISLOW;
  c.density_unit = 1;  // dots per inch
  c.X_density = c.Y_density = static_cast<UINT16>(layout.dpi);
  if (j.expected == 0) j.expected = size_t(layout.bytesPerLine) * layout.height / 16;
  jpeg_start_compress(&c, TRUE);
  j.active = true;
  return true;
}

bool PdfPageWriter::WriteRow(const uint8_t* row, std::string* error) {
  if (!page_) return Fail("no page started", error);
  if (row_ >= layout_.height) return Fail("more rows than the page has", error);
  Page& p = *page_;
  if (p.stencil) {
    // The driver's set bit is white; the stencil's set bit paints black.
    uint8_t* dst =
        cairo_image_surface_get_data(p.stencil) + static_cast<size_t>(row_) * cairo_image_surface_get_stride(p.stencil);
    const uint32_t bytes = (layout_.width + 7) / 8;
    const bool reverse = LittleEndian();
    for (uint32_t i = 0; i < bytes; ++i) {
      const uint8_t black = static_cast<uint8_t>(~row[i]);
      dst[i] = reverse ? Reversed(black) : black;
    }
    // Bits past the last pixel stay clear.
    const uint32_t tail = layout_.width % 8;
    if (tail) dst[bytes - 1] &= reverse ? static_cast<uint8_t>((1u << tail) - 1) : static_cast<uint8_t>(0xFF00 >> tail);
    ++row_;
    return true;
  }
  if (setjmp(jpeg_->errors.jump)) return JpegFailed(error);
  JSAMPROW rows[1] = {const_cast<JSAMPLE*>(row)};
  jpeg_write_scanlines(&jpeg_->info, rows, 1);
  ++row_;
  return true;
}

bool PdfPageWriter::PlacePage(std::string* error) {
  Page& p = *page_;
  cairo_surface_t* doc = static_cast<cairo_surface_t*>(surface_);
  cairo_surface_t* image = nullptr;
  if (!p.stencil) {
    Jpeg& j = *jpeg_;
    if (setjmp(j.errors.jump)) return JpegFailed(error);
    jpeg_finish_compress(&j.info);
    j.active = false;
    // The picture is the JPEG stream, which cairo embeds as it is (with the stream's own width
    // and height) and never decodes. The surface that carries it is therefore one pixel
    // large, drawn over the page's area: a surface of the page's size would be copied whole
    // by cairo's recording of the page although its pixels are never used.
    image = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
    if (cairo_surface_status(image) != CAIRO_STATUS_SUCCESS) {
      cairo_surface_destroy(image);
      return Fail("out of memory for the page", error);
    }
    const cairo_status_t s =
        cairo_surface_set_mime_data(image, CAIRO_MIME_TYPE_JPEG, j.stream->data, j.size, &Mapping::Release, j.stream);
    if (s != CAIRO_STATUS_SUCCESS) {
      cairo_surface_destroy(image);
      return Fail(std::string("cannot attach the JPEG picture (") + cairo_status_to_string(s) + ")", error);
    }
    j.stream = nullptr;  // cairo unmaps it with the surface
  }
  cairo_t* cr = cairo_create(doc);
  cairo_scale(cr, 72.0 / layout_.dpi, 72.0 / layout_.dpi);
  if (image) {
    cairo_scale(cr, layout_.width, layout_.height);
    cairo_set_source_surface(cr, image, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
    cairo_rectangle(cr, 0, 0, 1, 1);
    cairo_fill(cr);
  } else {
    cairo_surface_mark_dirty(p.stencil);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_pattern_t* mask = cairo_pattern_create_for_surface(p.stencil);
    cairo_pattern_set_filter(mask, CAIRO_FILTER_NEAREST);
    cairo_mask(cr, mask);
    cairo_pattern_destroy(mask);
  }
  cairo_show_page(cr);
  const cairo_status_t status = cairo_status(cr);
  cairo_destroy(cr);
  if (image) cairo_surface_destroy(image);
  page_.reset();
  if (status != CAIRO_STATUS_SUCCESS)
    return Fail(std::string("cannot write the page (") + cairo_status_to_string(status) + ")", error);
  if (cairo_surface_status(doc) != CAIRO_STATUS_SUCCESS || stream_->error != 0)
    return Fail(std::string("cannot write the page (") +
                    (stream_->error ? std::strerror(stream_->error) : cairo_status_to_string(cairo_surface_status(doc))) +
                    ")",
                error);
  return true;
}

bool PdfPageWriter::EndPage(std::string* error) {
  if (!page_) return Fail("no page started", error);
  if (row_ != layout_.height) return Fail("the page lacks rows", error);
  return PlacePage(error);
}

bool PdfPageWriter::Close(std::string* error) {
  jpeg_.reset();
  page_.reset();
  if (!surface_) return true;
  cairo_surface_t* doc = static_cast<cairo_surface_t*>(surface_);
  surface_ = nullptr;
  cairo_surface_finish(doc);
  const cairo_status_t status = cairo_surface_status(doc);
  cairo_surface_destroy(doc);
  // The file is complete only when cairo, every write of the stream, its flush and its close
  // all succeeded.
  const int written = stream_->Close();
  stream_.reset();
  if (written != 0) return Fail(std::string("cannot finish the file (") + std::strerror(written) + ")", error);
  if (status != CAIRO_STATUS_SUCCESS)
    return Fail(std::string("cannot finish the file (") + cairo_status_to_string(status) + ")", error);
  return true;
}
