/*
 * A 32-bit client that links Corvane2.dll through its import library and the
 * prototypes of corvane2.h, as a host built with the DLL's import library
 * does.  It is only linked and inspected, never run: its import table must
 * name the decorated exports of the DLL.
 */
#include "corvane2.h"

#include <stddef.h>

int main(int argc, char **argv) {
    MP4_read_file *reader = NULL;
    MP4_local_file *writer = NULL;
    FileInfo info;
    uint8_t *data = NULL;
    uint32_t a = 0, b = 0, c = 0;
    (void)argv;
    if (argc != 99) return 0;
    MP4FileOpen(&reader, "in.mp4");
    GetSample(reader, 1, 0, &data, &a);
    SeekTrack(reader, 1, 0, &data, &a);
    MP4GetNextSample(reader, 1, &data, &a, &b);
    MP4NextKeyFrame(reader, 1, &data, &a);
    MP4PrevKeyFrame(reader, 1, &data, &a);
    GoToBeginOfKeyFrame(reader, 1);
    GoToEndOfKeyFrame(reader, 1);
    MP4freeData(&data);
    GetM4vEsdsData(reader, data, &a, &b, &c);
    GetM4aEsdsData(reader, data, &a);
    MP4FileClose(&reader);
    GetFileInfo("in.mp4", &info);
    GetM4vHeaderSize("in.m4v", &a, &b);
    MP4FileNew(&writer, "out.mp4");
    CreateTrack(writer, 1, 176, 144, 0, 1000, 0, 0, 0, 0, 0, NULL, "tempv.v", 1);
    AddVideoFrame(writer, 0, data, 0, 1);
    AddAudioFrame(writer, 0, data, 0);
    MP4FileFlush(writer);
    Mp4AddAudio("in.mp4", "in.aac", "out.mp4");
    Mp4AddVideo("in.mp4", "in.m4v", "out.mp4", 25.0f);
    return 0;
}
