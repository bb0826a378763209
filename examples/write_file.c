/* Writes an MP4 file with Corvane2 from an MPEG-4 Visual elementary stream
 * and an AAC stream in ADTS framing, handing the writer one frame at a
 * time as an encoding host would.
 *
 *     write_file VIDEO.m4v AUDIO.aac OUT.mp4 [FPS]
 *
 * Only the video and the audio track are created: players need no more,
 * and such a file is one MP4FileOpen reads back (files with the MPEG-4
 * object-descriptor and scene tracks end with bytes after "mdat"). */
#include <corvane2.h>
#include <stdio.h>
#include <stdlib.h>

/* The whole of a file, for the example's sake. */
static uint8_t *load(const char *path, long *size) {
    FILE *f = fopen(path, "rb");
    uint8_t *bytes = NULL;
    if (f != NULL && fseek(f, 0, SEEK_END) == 0 && (*size = ftell(f)) > 0) {
        bytes = malloc((size_t)*size);
        rewind(f);
        if (bytes != NULL && fread(bytes, 1, (size_t)*size, f) != (size_t)*size) {
            free(bytes);
            bytes = NULL;
        }
    }
    if (f != NULL) fclose(f);
    return bytes;
}

/* The next start code 00 00 01 xx at or after `from` whose xx is `code`,
   or for code 0 either B3 (a group-of-planes header, which goes with the
   key frame after it) or B6 (a video object plane); the size if none. */
static long find_code(const uint8_t *s, long size, long from, int code) {
    for (long p = from; p + 4 <= size; ++p)
        if (s[p] == 0 && s[p + 1] == 0 && s[p + 2] == 1 &&
            (code ? s[p + 3] == code : s[p + 3] == 0xB3 || s[p + 3] == 0xB6))
            return p;
    return size;
}

static const uint32_t aac_rates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                       22050, 16000, 12000, 11025, 8000,  7350};

int main(int argc, char **argv) {
    if (argc < 4 || argc > 5) {
        fprintf(stderr, "usage: write_file VIDEO.m4v AUDIO.aac OUT.mp4 [FPS]\n");
        return 2;
    }
    double fps = argc == 5 ? atof(argv[4]) : 25.0;
    long vsize = 0, asize = 0;
    uint8_t *video = load(argv[1], &vsize), *audio = load(argv[2], &asize);
    /* The stream's headers up to the end of the video object layer header
       are the video track's decoder configuration. */
    uint32_t width = 0, height = 0;
    int32_t header = GetM4vHeaderSize(argv[1], &width, &height);
    if (video == NULL || audio == NULL || header <= 0 || header > CORVANE_MAX_DECODER_CONFIG ||
        fps <= 0 || asize < 7 || ((audio[2] >> 2) & 15) > 12) {
        fprintf(stderr, "write_file: cannot use %s, %s or the frame rate\n", argv[1], argv[2]);
        return 1;
    }
    /* The first ADTS header gives the AAC parameters. */
    uint32_t profile = audio[2] >> 6, rate = aac_rates[(audio[2] >> 2) & 15];
    uint32_t channels = (uint32_t)((audio[2] & 1) << 2 | audio[3] >> 6);

    /* profile_and_level_indication: the stream's own, else Simple Profile L1. */
    uint32_t profile_level = video[3] == 0xB0 ? video[4] : 1;

    MP4_local_file *file = NULL;
    if (MP4FileNew(&file, argv[3]) != CORVANE_OK) return 1;
    /* Video: times in milliseconds.  Audio: times in samples (timescale =
       sampling rate).  The temporary file names must live until the flush. */
    int32_t v = CreateTrack(file, CORVANE_TRACK_VIDEO, (uint16_t)width, (uint16_t)height, 0, 1000,
                            profile_level, 0, 0, 0, (uint32_t)header, video,
                            "write_file.video.tmp", CORVANE_CODEC_MPEG4);
    int32_t a = CreateTrack(file, CORVANE_TRACK_AUDIO, 0, 0, 0, rate, 0, profile, channels, rate,
                            0, NULL, "write_file.audio.tmp", CORVANE_CODEC_MPEG4);

    unsigned frames = 0, keys = 0, samples = 0, refused = 0;
    /* A frame: from the end of the previous one to the start code after its plane. */
    for (long at = header, plane, end; at < vsize; at = end, ++frames) {
        if ((plane = find_code(video, vsize, at, 0xB6)) + 4 >= vsize) break;
        end = find_code(video, vsize, plane + 4, 0);
        int key = (video[plane + 4] >> 6) == 0; /* an intra-coded plane */
        keys += (unsigned)key;
        if (AddVideoFrame(file, (uint32_t)(end - at), video + at, (uint32_t)(frames * 1000 / fps),
                          key ? CORVANE_KEY_FRAME : 0) != CORVANE_OK)
            ++refused;
    }
    /* ADTS frames: a 7-byte header (9 with a CRC), then the raw AAC frame. */
    for (long at = 0, length; at + 7 <= asize; at += length, ++samples) {
        length = (audio[at + 3] & 3) << 11 | audio[at + 4] << 3 | audio[at + 5] >> 5;
        long skip = (audio[at + 1] & 1) ? 7 : 9;
        if (length <= skip || at + length > asize) break;
        if (AddAudioFrame(file, (uint32_t)(length - skip), audio + at + skip, samples * 1024) !=
            CORVANE_OK)
            ++refused;
    }
    int32_t flushed = MP4FileFlush(file); /* writes the file and releases the handle */
    printf("%s: video %ux%u, %u frames (%u key frames); audio %u Hz, %u channel(s), %u frames\n",
           argv[3], (unsigned)width, (unsigned)height, frames, keys, (unsigned)rate,
           (unsigned)channels, samples);
    printf("CreateTrack: %d, %d; frames refused: %u; MP4FileFlush: %d\n", (int)v, (int)a, refused,
           (int)flushed);
    free(video);
    free(audio);
    return v == CORVANE_OK && a == CORVANE_OK && refused == 0 && flushed == CORVANE_OK ? 0 : 1;
}
