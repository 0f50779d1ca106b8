// JPEG through libjpeg(-turbo). Its errors leave by longjmp: as with PNG, every resource is in
// a plain record the jump target releases.
#include <cstdio>
// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>
// the message codes
#include <jerror.h>

#include <algorithm>
#include <climits>
#include <csetjmp>
#include <cstdlib>
#include <cstring>

#include "codec.h"

namespace tessera::detail::io {

namespace {

struct JpegError {
    jpeg_error_mgr base;
    jmp_buf jump;
};

void on_error(j_common_ptr c) {
    char text[JMSG_LENGTH_MAX];
    (*c->err->format_message)(c, text);
    if (reason_empty()) {
        if (c->is_decompressor) fail(Err::format, "a damaged JPEG file: %s", text);
        else fail(Err::file, "cannot write the JPEG file: %s", text);
    }
    std::longjmp(reinterpret_cast<JpegError *>(c->err)->jump, 1);
}

// Warnings about damaged data (a file that ends early, a corrupt entropy stream) fail the load:
// a damaged image is not handed back as if it were whole. Notes (level > 0) are ignored.
void on_message(j_common_ptr c, int level) {
    if (level >= 0) return;
    if (c->err->msg_code == JWRN_EXTRANEOUS_DATA) return; // junk between markers, common and harmless
    on_error(c);
}

// ---- decoding work -------------------------------------------------------------------------------
// Every scan of a progressive file visits each block of the components it covers, however little
// it holds: a small file of many scans over a large image costs time out of all proportion to its
// size. The work of a decode is counted as 64 coefficient visits for each block each scan
// visits (at least scan_floor a scan, for the scan's own overhead), and a budget of B bytes allows
// TESSERA_WORK_PER_BYTE * B of it: an image that fills the budget may have that many full scans.
constexpr uint64_t work_per_byte = TESSERA_WORK_PER_BYTE;
constexpr uint64_t scan_floor = 1 << 16;
// The work of one scan over blocks blocks.
constexpr uint64_t scan_work(uint64_t blocks) { return std::max(blocks * 64, scan_floor); }

uint64_t work_allowed(const Request &r) {
    const uint64_t b = budget(r);
    return b > UINT64_MAX / work_per_byte ? UINT64_MAX : b * work_per_byte;
}

struct Component {
    unsigned id, h, v;
};

// What a walk over a file's markers found.
struct Walk {
    uint64_t work = 0;
    unsigned scans = 0;
};

// Reads a file's bytes in blocks: the caller's memory, or a seekable stream from an offset.
class Bytes {
  public:
    Bytes(const unsigned char *data, std::size_t n) : p_(data), end_(data + n) {}
    explicit Bytes(FILE *f) : f_(f) {}
    int get() {
        if (p_ == end_ && !refill()) return -1;
        return *p_++;
    }
    // Skips n bytes; false at the end.
    bool skip(std::size_t n) {
        while (n > 0) {
            if (p_ == end_ && !refill()) return false;
            const std::size_t k = std::min<std::size_t>(n, static_cast<std::size_t>(end_ - p_));
            p_ += k, n -= k;
        }
        return true;
    }
    // Moves to the next 0xff byte (consumed); false at the end.
    bool to_ff() {
        for (;;) {
            if (p_ == end_ && !refill()) return false;
            const void *at = std::memchr(p_, 0xff, static_cast<std::size_t>(end_ - p_));
            if (at) {
                p_ = static_cast<const unsigned char *>(at) + 1;
                return true;
            }
            p_ = end_;
        }
    }

  private:
    bool refill() {
        if (!f_) return false;
        const std::size_t got = std::fread(block_, 1, sizeof block_, f_);
        p_ = block_, end_ = block_ + got;
        return got > 0;
    }
    FILE *f_ = nullptr;
    const unsigned char *p_ = nullptr, *end_ = nullptr;
    unsigned char block_[1 << 16];
};

uint64_t ceil_div(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

// The work of every scan of the file, from its markers alone, up to the end of the image or of the
// bytes.
Walk walk_scans(Bytes &b) {
    Walk w;
    Component comps[4];
    unsigned ncomps = 0, width = 0, height = 0, hmax = 1, vmax = 1;
    if (b.get() != 0xff || b.get() != 0xd8) return w;
    int m = -1;
    for (;;) {
        if (m < 0) { // the next marker: 0xff, fill bytes, then the code
            if (!b.to_ff()) return w;
            do m = b.get();
            while (m == 0xff);
            if (m < 0) return w;
        }
        const int code = m;
        m = -1;
        if (code == 0xd9) return w;                                                   // end of image
        if (code == 0x00 || code == 0x01 || (code >= 0xd0 && code <= 0xd7)) continue; // no segment
        const int hi = b.get(), lo = b.get();
        if (hi < 0 || lo < 0 || (hi << 8 | lo) < 2) return w;
        std::size_t length = static_cast<std::size_t>(hi << 8 | lo) - 2;
        const bool frame = code >= 0xc0 && code <= 0xcf && code != 0xc4 && code != 0xc8 && code != 0xcc;
        if (frame && length >= 6) {
            b.get(); // precision
            height = static_cast<unsigned>(b.get()) << 8, height |= static_cast<unsigned>(b.get());
            width = static_cast<unsigned>(b.get()) << 8, width |= static_cast<unsigned>(b.get());
            const int n = b.get();
            length -= 6;
            ncomps = 0;
            hmax = vmax = 1;
            for (int i = 0; i < n && length >= 3; ++i, length -= 3) {
                const int id = b.get(), hv = b.get();
                b.get();
                if (id < 0 || hv < 0) return w;
                const unsigned h = std::max(1u, static_cast<unsigned>(hv) >> 4), v = std::max(1u, hv & 15u);
                hmax = std::max(hmax, h), vmax = std::max(vmax, v);
                if (ncomps < 4) comps[ncomps++] = Component{static_cast<unsigned>(id), h, v};
            }
        } else if (code == 0xda && length >= 1) {
            const int n = b.get();
            --length;
            uint64_t blocks = 0;
            const uint64_t mcus = ceil_div(width, 8ULL * hmax) * ceil_div(height, 8ULL * vmax);
            for (int i = 0; i < n && length >= 2; ++i, length -= 2) {
                const int id = b.get();
                b.get();
                for (unsigned k = 0; k < ncomps; ++k)
                    if (comps[k].id == static_cast<unsigned>(id))
                        blocks += n == 1 ? ceil_div(ceil_div(uint64_t{width} * comps[k].h, hmax), 8) *
                                               ceil_div(ceil_div(uint64_t{height} * comps[k].v, vmax), 8)
                                         : mcus * comps[k].h * comps[k].v;
            }
            ++w.scans;
            w.work = std::min(w.work + scan_work(blocks), UINT64_MAX / 2);
            if (!b.skip(length)) return w;
            // The entropy-coded data runs to the next marker that is not a stuffed byte or a restart.
            for (;;) {
                if (!b.to_ff()) return w;
                int c;
                do c = b.get();
                while (c == 0xff);
                if (c < 0) return w;
                if (c != 0x00 && !(c >= 0xd0 && c <= 0xd7)) {
                    m = c;
                    break;
                }
            }
            continue;
        }
        if (!b.skip(length)) return w;
    }
}

// walk_scans over the input where it can be read twice (memory, a seekable stream, which is put
// back where it stood); no work where it cannot (a pipe).
Walk count_scans(Input &in) {
    if (in.memory) {
        Bytes b(in.memory, in.memory_size);
        return walk_scans(b);
    }
    if (!in.seekable) return Walk{};
    const long at = std::ftell(in.in);
    if (at < 0) return Walk{};
    Bytes b(in.in);
    const Walk w = walk_scans(b);
    if (std::fseek(in.in, at, SEEK_SET) != 0) return Walk{};
    return w;
}

// What a jump out of libjpeg releases: volatile, since they change after setjmp.
struct JpegRead {
    AnyImageStruct *volatile im;
    unsigned char *volatile row;
    uint64_t work, most;      // the work counted as the scans arrive, and the work allowed
    int scan;                 // the scan counted last
    void *volatile transform; // CMYK rows to sRGB by the file's profile, or null
};

// The second guard, for files whose scans could not be counted ahead (a pipe): the work of each
// scan is counted as it starts, and the decode stops once it passes what the budget allows.
void on_progress(j_common_ptr c) {
    if (!c->is_decompressor) return;
    auto *d = reinterpret_cast<j_decompress_ptr>(c);
    auto *job = static_cast<JpegRead *>(d->client_data);
    if (d->input_scan_number == job->scan || d->comps_in_scan <= 0) return;
    job->scan = d->input_scan_number;
    uint64_t blocks = 0;
    if (d->comps_in_scan == 1) {
        const jpeg_component_info *k = d->cur_comp_info[0];
        blocks = uint64_t{k->width_in_blocks} * k->height_in_blocks;
    } else {
        blocks = uint64_t{d->MCUs_per_row} * d->MCU_rows_in_scan * static_cast<uint64_t>(d->blocks_in_MCU);
    }
    job->work += scan_work(blocks);
    if (job->work > job->most) {
        fail(Err::limit,
             "a JPEG file whose scans need more than %llu coefficient visits to decode, more than its budget "
             "allows",
             static_cast<unsigned long long>(job->most));
        std::longjmp(reinterpret_cast<JpegError *>(c->err)->jump, 1);
    }
}

struct JpegWrite {
    unsigned char *volatile row;
};

constexpr char xmp_mark[] = "http://ns.adobe.com/xap/1.0/"; // and its NUL
constexpr std::size_t marker_room = 65533;                  // the bytes of a marker after its length

// The EXIF and XMP of APP1 markers and the ICC profile split over APP2 markers ("ICC_PROFILE\0",
// then its part's number from 1 and the count of parts), for the caller; a profile with a part
// missing or repeated is passed over, as libjpeg's reader does. False with the reason when a
// block is refused.
bool gather(jpeg_decompress_struct &d, const Request &r) {
    jpeg_saved_marker_ptr parts[256] = {};
    int count = 0;
    bool broken = false;
    std::size_t total = 0;
    for (jpeg_saved_marker_ptr m = d.marker_list; m; m = m->next) {
        const std::size_t n = m->data_length;
        if (m->marker == JPEG_APP0 + 1 && n > 6 && std::memcmp(m->data, "Exif\0\0", 6) == 0) {
            if (!found_exif(r, m->data, n)) return false;
        } else if (m->marker == JPEG_APP0 + 1 && n >= sizeof xmp_mark &&
                   std::memcmp(m->data, xmp_mark, sizeof xmp_mark) == 0) {
            if (!keep_block(r, Block::xmp, m->data + sizeof xmp_mark, n - sizeof xmp_mark)) return false;
        } else if (m->marker == JPEG_APP0 + 2 && n > 14 && std::memcmp(m->data, "ICC_PROFILE\0", 12) == 0) {
            const int seq = m->data[12], of = m->data[13];
            if (!count) count = of;
            if (seq == 0 || seq > count || of != count || parts[seq]) broken = true;
            else parts[seq] = m, total += n - 14;
        }
    }
    for (int i = 1; i <= count; ++i) broken = broken || !parts[i];
    unsigned char *icc = nullptr;
    if (broken || !count || !new_block(r, Block::icc, total, icc)) return broken || !count;
    for (int i = 1; icc && i <= count; ++i) {
        std::memcpy(icc, parts[i]->data + 14, parts[i]->data_length - 14);
        icc += parts[i]->data_length - 14;
    }
    return true;
}

// Writes one marker of a mark (with its NUL when it is text) and n bytes.
void put_marker(jpeg_compress_struct &c, int code, const char *mark, std::size_t mark_size, const void *data,
                std::size_t n) {
    jpeg_write_m_header(&c, code, static_cast<unsigned>(mark_size + n));
    for (std::size_t i = 0; i < mark_size; ++i) jpeg_write_m_byte(&c, static_cast<unsigned char>(mark[i]));
    const auto *b = static_cast<const unsigned char *>(data);
    for (std::size_t i = 0; i < n; ++i) jpeg_write_m_byte(&c, b[i]);
}

// EXIF and XMP in APP1 markers, the profile in APP2 ones; an EXIF block or XMP packet larger
// than one marker holds is not written.
void put_metadata(jpeg_compress_struct &c, const tessera_io_metadata &meta) {
    if (meta.exif && meta.exif_size <= marker_room - 6)
        put_marker(c, JPEG_APP0 + 1, "Exif\0\0", 6, meta.exif, meta.exif_size);
    if (meta.xmp && meta.xmp_size <= marker_room - sizeof xmp_mark)
        put_marker(c, JPEG_APP0 + 1, xmp_mark, sizeof xmp_mark, meta.xmp, meta.xmp_size);
    if (meta.icc && meta.icc_size <= 255u * (marker_room - 14))
        jpeg_write_icc_profile(&c, static_cast<const JOCTET *>(meta.icc), static_cast<unsigned>(meta.icc_size));
}

} // namespace

AnyImageStruct *read_jpeg(Input &in, const Request &r) {
    in.forget_start(in);
    jpeg_decompress_struct d;
    JpegError err;
    jpeg_progress_mgr progress;
    JpegRead job{nullptr, nullptr, 0, work_allowed(r), 0, nullptr};
    // The scans' work from the markers, before any is done, where the bytes can be read twice.
    const Walk ahead = r.header_only ? Walk{} : count_scans(in);
    if (ahead.work > job.most)
        return fail(Err::limit,
                    "a JPEG file whose %u scans need %llu coefficient visits to decode, more than the %llu its budget "
                    "allows",
                    ahead.scans, static_cast<unsigned long long>(ahead.work),
                    static_cast<unsigned long long>(job.most)),
               nullptr;
    d.err = jpeg_std_error(&err.base);
    // The record escapes into libjpeg's, so that the compiler keeps it in memory across the jump.
    d.client_data = &job;
    err.base.error_exit = on_error;
    err.base.emit_message = on_message;
    if (setjmp(err.jump)) {
        if (job.im) im_Free_(job.im, job.im->header->tag);
        std::free(job.row);
        if (job.transform) free_transform(job.transform);
        jpeg_destroy_decompress(&d);
        return nullptr;
    }
    jpeg_create_decompress(&d);
    progress.progress_monitor = on_progress;
    d.progress = &progress;
    // libjpeg's own buffers (the whole image's coefficients for a progressive file) take at most
    // the budget beside the image.
    d.mem->max_memory_to_use = static_cast<long>(std::min<uint64_t>(budget(r), LONG_MAX));
    // A file in memory is read where it lies, in one piece: libjpeg-turbo's fast Huffman decoding
    // runs wherever it has enough bytes ahead, which buffers of a stream interrupt.
    if (in.memory) jpeg_mem_src(&d, in.memory, static_cast<unsigned long>(in.memory_size));
    else jpeg_stdio_src(&d, in.in);
    jpeg_save_markers(&d, JPEG_APP0 + 1, 0xffff);
    if (r.meta) jpeg_save_markers(&d, JPEG_APP0 + 2, 0xffff);
    jpeg_read_header(&d, TRUE);
    if (!gather(d, r)) std::longjmp(err.jump, 1);
    const bool cmyk = d.jpeg_color_space == JCS_CMYK || d.jpeg_color_space == JCS_YCCK;
    const int channels = d.num_components == 1 ? 1 : 3;
    describe(r, "JPEG", d.image_width, d.image_height, channels, 0, d.data_precision, 255);
    // Shrunk on loading when the picture is to fit a box: by 8, 4 or 2 through the scaled
    // inverse transform, while the result still covers the box (which is upright).
    if ((r.fit_width > 0 || r.fit_height > 0) && !r.header_only) {
        const bool across = r.info->orientation >= 5; // turned a quarter: the box's sides swap
        const int64_t box_w = across ? r.fit_height : r.fit_width, box_h = across ? r.fit_width : r.fit_height;
        for (unsigned f : {8u, 4u, 2u}) {
            if ((box_w > 0 && ceil_div(d.image_width, f) < static_cast<uint64_t>(box_w)) ||
                (box_h > 0 && ceil_div(d.image_height, f) < static_cast<uint64_t>(box_h)))
                continue;
            d.scale_num = 1, d.scale_denom = f;
            break;
        }
    }
    jpeg_calc_output_dimensions(&d);
    // Rows go to a caller that takes them one at a time as they are decoded: the limits are then
    // the caller's to apply to what it makes.
    const bool streamed = rows_wanted(r);
    if (!streamed && !fits(r, d.output_width, d.output_height, channels == 1 ? IMAGE_GRAY : IMAGE_RGB))
        std::longjmp(err.jump, 1);
    Layout l;
    l.channels = channels;
    choose_tag(l, false);
    if (header_read(r, l.tag)) std::longjmp(err.jump, 1); // before a progressive file's scans are read
    d.out_color_space = cmyk ? JCS_CMYK : channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(&d);
    job.im = streamed ? row_band(r, l.tag, d.output_width, 1, uint64_t{d.output_width} * 4)
                      : new_image(l, d.output_width, d.output_height, r, 0, true); // every scanline is written
    if (!job.im) std::longjmp(err.jump, 1);
    // Adobe's CMYK files store the inks inverted.
    const bool inverted = d.saw_Adobe_marker;
    if (cmyk) {
        job.row = static_cast<unsigned char *>(std::malloc(static_cast<std::size_t>(d.output_width) * 4));
        if (!job.row) {
            fail(Err::memory, "out of memory for a JPEG row");
            std::longjmp(err.jump, 1);
        }
        // converted by the file's profile when asked; else by the plain formula below
        if (r.options->to_srgb && r.meta && is_cmyk_profile(*r.meta)) {
            job.transform = cmyk_to_srgb(*r.meta, inverted);
            if (!job.transform) std::longjmp(err.jump, 1);
        }
    }
    // Decodes the next row into row y of the image.
    const auto next_row = [&](JDIMENSION y) {
        JSAMPROW target = cmyk ? job.row : static_cast<JSAMPROW>(job.im->data[y]);
        jpeg_read_scanlines(&d, &target, 1);
        if (cmyk && job.transform) {
            cmyk_row(job.transform, job.row, static_cast<RGB *>(job.im->data[y]), d.output_width);
        } else if (cmyk) {
            auto *out = static_cast<RGB *>(job.im->data[y]);
            for (JDIMENSION x = 0; x < d.output_width; ++x) {
                unsigned c[4];
                for (int k = 0; k < 4; ++k) c[k] = inverted ? job.row[4 * x + k] : 255U - job.row[4 * x + k];
                out[x] = RGB{static_cast<uint8_t>((c[0] * c[3] + 127) / 255),
                             static_cast<uint8_t>((c[1] * c[3] + 127) / 255),
                             static_cast<uint8_t>((c[2] * c[3] + 127) / 255)};
            }
        }
    };
    if (streamed) {
        struct Decoding {
            decltype(next_row) &decode;
            j_decompress_ptr d;
            JpegError &err;
            AnyImageStruct *band;
            std::size_t bytes;
        } rows{next_row, &d, err, job.im, static_cast<std::size_t>(d.output_width) * (l.tag == IMAGE_RGB ? 3 : 1)};
        const auto next = [](void *state, int32_t y, void *row) {
            auto *s = static_cast<Decoding *>(state);
            if (setjmp(s->err.jump)) return false; // libjpeg's errors end here while the rows are used
            while (s->d->output_scanline <= static_cast<JDIMENSION>(y)) s->decode(0);
            std::memcpy(row, s->band->data[0], s->bytes);
            return true;
        };
        const bool used = give_rows(
            r, {l.tag, static_cast<int32_t>(d.output_width), static_cast<int32_t>(d.output_height), next, &rows});
        // libjpeg's errors end here again (the rows' frames have returned)
        if (setjmp(err.jump)) {
            r.used = false;
            im_Free_(job.im, job.im->header->tag);
            std::free(job.row);
            if (job.transform) free_transform(job.transform);
            jpeg_destroy_decompress(&d);
            return nullptr;
        }
        if (!used) std::longjmp(err.jump, 1);
        jpeg_abort_decompress(&d); // rows not asked for are not decoded
        im_Free_(job.im, job.im->header->tag);
        std::free(job.row);
        jpeg_destroy_decompress(&d);
        return nullptr;
    }
    if (cmyk) {
        while (d.output_scanline < d.output_height) next_row(d.output_scanline);
    } else { // straight into the image's rows, as many at a time as libjpeg makes at once
        JSAMPROW rows[16];
        while (d.output_scanline < d.output_height) {
            const JDIMENSION y = d.output_scanline, n = std::min<JDIMENSION>(16, d.output_height - y);
            for (JDIMENSION k = 0; k < n; ++k) rows[k] = static_cast<JSAMPROW>(job.im->data[y + k]);
            jpeg_read_scanlines(&d, rows, n);
        }
    }
    jpeg_finish_decompress(&d);
    AnyImageStruct *im = job.im;
    std::free(job.row);
    if (job.transform) {
        free_transform(job.transform);
        r.in_srgb = srgb_profile(*r.meta, false);
        if (!r.in_srgb) im_Free_(im, im->header->tag), im = nullptr;
    }
    jpeg_destroy_decompress(&d);
    return im;
}

bool write_jpeg(const Picture &p, const tessera_io_save_options &o, FILE *out) {
    if (p.bits != 8 || p.channels == 0) return fail(Err::unsupported, "jpeg holds 8-bit gray and RGB images only");
    jpeg_compress_struct c;
    JpegError err;
    JpegWrite job{nullptr};
    c.err = jpeg_std_error(&err.base);
    c.client_data = &job;
    err.base.error_exit = on_error;
    err.base.emit_message = on_message;
    if (setjmp(err.jump)) {
        std::free(job.row);
        jpeg_destroy_compress(&c);
        return false;
    }
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, out);
    c.image_width = static_cast<JDIMENSION>(p.width);
    c.image_height = static_cast<JDIMENSION>(p.height);
    c.input_components = p.channels;
    c.in_color_space = p.channels == 3 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, o.quality ? o.quality : 90, TRUE);
    jpeg_start_compress(&c, TRUE);
    put_metadata(c, p.meta);
    job.row = static_cast<unsigned char *>(std::malloc(static_cast<std::size_t>(p.width) * 3));
    if (!job.row) {
        fail(Err::memory, "out of memory for a JPEG row");
        std::longjmp(err.jump, 1);
    }
    for (int32_t y = 0; y < p.height; ++y) {
        get_row(p, y, job.row);
        JSAMPROW row = job.row;
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    std::free(job.row);
    jpeg_destroy_compress(&c);
    if (std::ferror(out)) return fail_system("cannot write");
    return true;
}

} // namespace tessera::detail::io
