// JPEG through libjpeg(-turbo). Its errors leave by longjmp: as with PNG, every resource is in
// a plain record the jump target releases.
#include <cstdio>
// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>
// the message codes
#include <jerror.h>

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
    if (reason_empty()) fail(c->is_decompressor ? "a damaged JPEG file: %s" : "cannot write the JPEG file: %s", text);
    std::longjmp(reinterpret_cast<JpegError *>(c->err)->jump, 1);
}

// Warnings about damaged data (a file that ends early, a corrupt entropy stream) fail the load:
// a damaged image is not handed back as if it were whole. Notes (level > 0) are ignored.
void on_message(j_common_ptr c, int level) {
    if (level >= 0) return;
    if (c->err->msg_code == JWRN_EXTRANEOUS_DATA) return; // junk between markers, common and harmless
    on_error(c);
}

// A progressive file with very many scans costs time out of all proportion to its size.
void on_progress(j_common_ptr c) {
    auto *d = reinterpret_cast<j_decompress_ptr>(c);
    if (c->is_decompressor && d->input_scan_number > 1000) {
        fail("a damaged JPEG file: more than 1,000 scans");
        std::longjmp(reinterpret_cast<JpegError *>(c->err)->jump, 1);
    }
}

// What a jump out of libjpeg releases: volatile, since they change after setjmp.
struct JpegRead {
    AnyImageStruct *volatile im;
    unsigned char *volatile row;
};

struct JpegWrite {
    unsigned char *volatile row;
};

} // namespace

AnyImageStruct *read_jpeg(Input &in, const Request &r) {
    in.forget_start(in);
    jpeg_decompress_struct d;
    JpegError err;
    jpeg_progress_mgr progress;
    JpegRead job{nullptr, nullptr};
    d.err = jpeg_std_error(&err.base);
    // The record escapes into libjpeg's, so that the compiler keeps it in memory across the jump.
    d.client_data = &job;
    err.base.error_exit = on_error;
    err.base.emit_message = on_message;
    if (setjmp(err.jump)) {
        if (job.im) im_Free_(job.im, job.im->header->tag);
        std::free(job.row);
        jpeg_destroy_decompress(&d);
        return nullptr;
    }
    jpeg_create_decompress(&d);
    progress.progress_monitor = on_progress;
    d.progress = &progress;
    // libjpeg's own buffers (whole-image coefficients of a progressive file) stay within a
    // multiple of the image the limit allows.
    d.mem->max_memory_to_use = static_cast<long>(max_pixels(r) > (1ULL << 40) ? (1ULL << 40) * 8 : max_pixels(r) * 8);
    jpeg_stdio_src(&d, in.in);
    jpeg_read_header(&d, TRUE);
    const bool cmyk = d.jpeg_color_space == JCS_CMYK || d.jpeg_color_space == JCS_YCCK;
    const int channels = d.num_components == 1 ? 1 : 3;
    describe(r, "JPEG", d.image_width, d.image_height, channels, 0, d.data_precision, 255);
    const uint64_t limit = max_pixels(r);
    if (d.image_width == 0 || d.image_height == 0 || static_cast<uint64_t>(d.image_width) > limit / d.image_height) {
        fail("a %u x %u image is larger than the limit of %llu pixels", d.image_width, d.image_height,
             static_cast<unsigned long long>(limit));
        std::longjmp(err.jump, 1);
    }
    d.out_color_space = cmyk ? JCS_CMYK : channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(&d);
    Layout l;
    l.channels = channels;
    choose_tag(l, false);
    job.im = new_image(l, d.output_width, d.output_height, r);
    if (!job.im) std::longjmp(err.jump, 1);
    if (cmyk) {
        job.row = static_cast<unsigned char *>(std::malloc(static_cast<std::size_t>(d.output_width) * 4));
        if (!job.row) {
            fail("out of memory for a JPEG row");
            std::longjmp(err.jump, 1);
        }
    }
    // Adobe's CMYK files store the inks inverted.
    const bool inverted = d.saw_Adobe_marker;
    while (d.output_scanline < d.output_height) {
        const JDIMENSION y = d.output_scanline;
        JSAMPROW target = cmyk ? job.row : static_cast<JSAMPROW>(job.im->data[y]);
        jpeg_read_scanlines(&d, &target, 1);
        if (cmyk) {
            auto *out = static_cast<RGB *>(job.im->data[y]);
            for (JDIMENSION x = 0; x < d.output_width; ++x) {
                unsigned c[4];
                for (int k = 0; k < 4; ++k) c[k] = inverted ? job.row[4 * x + k] : 255U - job.row[4 * x + k];
                out[x] = RGB{static_cast<uint8_t>((c[0] * c[3] + 127) / 255),
                             static_cast<uint8_t>((c[1] * c[3] + 127) / 255),
                             static_cast<uint8_t>((c[2] * c[3] + 127) / 255)};
            }
        }
    }
    jpeg_finish_decompress(&d);
    AnyImageStruct *im = job.im;
    std::free(job.row);
    jpeg_destroy_decompress(&d);
    return im;
}

bool write_jpeg(const Picture &p, const tessera_io_save_options &o, FILE *out) {
    if (p.bits != 8 || p.channels == 0) return fail("jpeg holds 8-bit gray and RGB images only");
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
    job.row = static_cast<unsigned char *>(std::malloc(static_cast<std::size_t>(p.width) * 3));
    if (!job.row) {
        fail("out of memory for a JPEG row");
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
