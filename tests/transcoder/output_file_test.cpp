// Opening outputs from realistic command lines on generated inputs: which
// output stream comes from which input stream, with which encoder and graph.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/TranscoderRig.h"
#include "testmedia/TestMedia.h"

using namespace corvane;
namespace media = corvane::testmedia;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

constexpr const char* kVideo320 = "-f lavfi -i testsrc=size=320x240:rate=25:duration=1";
class OutputFileTest : public testrig::TranscoderTest {
 protected:
  // "in": lavfi options and the graph after -i, as one option string.
  int input(const std::string& options_and_graph) {
    const std::size_t i = options_and_graph.rfind(" -i ");
    std::string graph = options_and_graph.substr(i + 4);
    if (graph.size() > 1 && graph.front() == '"') graph = graph.substr(1, graph.size() - 2);
    return openInput(options_and_graph.substr(0, i), graph);
  }

  // One line per output stream of the engine:
  // "file:index type <- file:stream encoder [graph]".
  std::vector<std::string> mapping() const {
    std::vector<std::string> out;
    for (const auto& ost : engine_->Foutput_streams) {
      std::string from = "-";
      if (ost->source_index >= 0) {
        const TInputStream& ist = *engine_->Finput_streams[ost->source_index];
        from = std::to_string(ist.file_index) + ":" + std::to_string(ist.st->index);
      } else if (ost->filter) {
        from = "graph" + std::to_string(ost->filter->graph->index);
      }
      const char* type = ff::av_get_media_type_string(ost->st->codecpar->codec_type);
      std::string line = std::to_string(ost->file_index) + ":" + std::to_string(ost->index) + " " +
                         (type ? type : "?") + " <- " + from + " " +
                         (ost->stream_copy ? "copy"
                          : ost->enc       ? ost->enc->name
                                           : "none");
      if (ost->filter && ost->filter->graph->graph_desc)
        line += " [" + *ost->filter->graph->graph_desc + "]";
      else if (ost->avfilter)
        line += " [" + *ost->avfilter + "]";
      out.push_back(line);
    }
    return out;
  }

  // Expects a failure of the output that leaves nothing behind.
  void expectFailsCleanly(const std::string& options, const std::string& text) {
    const std::string file = path("fail.mkv");
    const int streams = engine_->Fnb_output_streams();
    const int graphs = engine_->Fnb_filtergraphs();
    const int files = engine_->Fnb_output_files();
    int ret = 0;
    try {
      ret = openOutput(options, file);
    } catch (const FFmpegException&) {
      ret = -1;
    }
    EXPECT_LT(ret, 0) << options;
    EXPECT_THAT(engine_->FLastErrMsg, HasSubstr(text)) << options;
    EXPECT_EQ(engine_->Fnb_output_files(), files) << options;
    EXPECT_EQ(engine_->Fnb_output_streams(), streams) << options;
    EXPECT_EQ(engine_->Fnb_filtergraphs(), graphs) << options;
    EXPECT_FALSE(std::filesystem::exists(file)) << options;
  }

  AVFormatContext* oc(int i = 0) const { return engine_->Foutput_files[i]->ctx.get(); }
};

TEST_F(OutputFileTest, AutomaticSelectionTakesTheLargestPictureAndMostChannels) {
  ASSERT_EQ(input(kVideo320), 0) << engine_->FLastErrMsg;
  ASSERT_EQ(input("-f lavfi -i testsrc=size=640x480:rate=25:duration=1"), 1);
  ASSERT_EQ(input("-f lavfi -i sine=frequency=440:duration=1"), 2);
  ASSERT_EQ(input("-f lavfi -i aevalsrc=0|0|0|0|0|0:c=5.1:d=1"), 3);
  ASSERT_EQ(openOutput("-c:v mpeg4 -c:a ac3", path("out.mkv")), 0) << engine_->FLastErrMsg;
  EXPECT_THAT(mapping(),
              ElementsAre("0:0 video <- 1:0 mpeg4 [null]", "0:1 audio <- 3:0 ac3 [anull]"));
  EXPECT_EQ(engine_->Finput_streams[2]->discard, 1);  // unused
  EXPECT_EQ(engine_->Finput_streams[1]->discard, 0);
  EXPECT_TRUE(engine_->Finput_streams[1]->decoding_needed & 1);
  EXPECT_TRUE(std::filesystem::exists(path("out.mkv")));

  // A muxer that keeps pictures only as cover art takes no ordinary video.
  ASSERT_EQ(openOutput("-c:a mp2", path("cover.mp3")), 1) << engine_->FLastErrMsg;
  EXPECT_EQ(mapping().back(), "1:0 audio <- 3:0 mp2 [anull]");

  // -vn and -an take their kind away; -sn -dn leave nothing but the audio.
  ASSERT_EQ(openOutput("-vn -c:a mp2", path("audio.mkv")), 2) << engine_->FLastErrMsg;
  EXPECT_EQ(mapping().back(), "2:0 audio <- 3:0 mp2 [anull]");
  EXPECT_EQ(oc(2)->nb_streams, 1u);
}

TEST_F(OutputFileTest, MapsWithNegativesOptionalsAndCopies) {
  ASSERT_EQ(openInput("", media::ensure(media::Kind::Mp4H264Aac)), 0) << engine_->FLastErrMsg;
  ASSERT_EQ(input(kVideo320), 1);
  ASSERT_EQ(openOutput("-map 0 -map -0:v -map 1:v -map 1:a? -c:v mpeg4 -c:a:0 pcm_s16le",
                       path("mapped.mkv")),
            0)
      << engine_->FLastErrMsg;
  EXPECT_THAT(mapping(),
              ElementsAre("0:0 audio <- 0:1 pcm_s16le [anull]", "0:1 video <- 1:0 mpeg4 [null]"));
  EXPECT_TRUE(logged("matches no streams; ignoring."));

  // The sync part of a map names the stream the output follows.
  ASSERT_EQ(openOutput("-map 1:v,0:a -c:v copy", path("sync.nut")), 1) << engine_->FLastErrMsg;
  EXPECT_EQ(engine_->Foutput_streams.back()->sync_ist, engine_->Finput_streams[1].get());
  EXPECT_EQ(mapping().back(), "1:0 video <- 1:0 copy");
}

TEST_F(OutputFileTest, ComplexGraphsFeedOutputs) {
  ASSERT_EQ(openInput("", media::ensure(media::Kind::Mp4H264Aac)), 0) << engine_->FLastErrMsg;
  ASSERT_EQ(input(kVideo320), 1);
  // A labelled output goes where it is mapped; an unlabelled one to the next
  // output, whose automatic video selection it replaces.
  ASSERT_EQ(openOutput("-filter_complex \"[0:v][1:v]overlay=x=10[ov]\" -map [ov] -map 0:a "
                       "-c:v mpeg4 -c:a ac3",
                       path("overlay.mkv")),
            0)
      << engine_->FLastErrMsg;
  EXPECT_THAT(mapping(), ElementsAre("0:0 video <- graph0 mpeg4 [[0:v][1:v]overlay=x=10[ov]]",
                                     "0:1 audio <- 0:1 ac3 [anull]"));
  const TFilterGraph& fg = *engine_->Ffiltergraphs[0];
  ASSERT_EQ(fg.inputs.size(), 2u);
  EXPECT_EQ(fg.inputs[0]->ist, engine_->Finput_streams[0].get());
  EXPECT_EQ(fg.inputs[1]->ist, engine_->Finput_streams[2].get());

  ASSERT_EQ(openOutput("-filter_complex [1:v]scale=160:120 -c:v mpeg4 -c:a ac3", path("s.mkv")), 1)
      << engine_->FLastErrMsg;
  // Graph 1 is the simple audio graph of the first output.
  const std::vector<std::string> lines = mapping();
  EXPECT_THAT(std::vector<std::string>(lines.begin() + 2, lines.end()),
              ElementsAre("1:0 video <- graph2 mpeg4 [[1:v]scale=160:120]",
                          "1:1 audio <- 0:1 ac3 [anull]"));
  expectFailsCleanly("-filter_complex [1:v]null[x] -map [nolabel]",
                     "Output with label \"nolabel\" does not exist in any defined filter graph");
}

// A failed output gives back what it took: the graph output it connected and
// the input streams it would have read.
TEST_F(OutputFileTest, AFailedOutputGivesItsTakingsBack) {
  ASSERT_EQ(openInput("-filter_complex [0:v]scale=160:120[small]",
                      media::ensure(media::Kind::Mp4H264Aac)),
            0)
      << engine_->FLastErrMsg;
  expectFailsCleanly("-map [small] -map 0:a -c:v mpeg4 -c:a ac3 -program foo=1",
                     "Unknown program key foo.");
  EXPECT_EQ(engine_->Finput_streams[1]->discard, 1);
  EXPECT_EQ(engine_->Finput_streams[1]->decoding_needed, 0);
  EXPECT_EQ(engine_->Finput_streams[1]->st->discard, AVDISCARD_ALL);
  ASSERT_EQ(openOutput("-map [small] -c:v mpeg4", path("small.mkv")), 0) << engine_->FLastErrMsg;
  EXPECT_THAT(mapping(), ElementsAre("0:0 video <- graph0 mpeg4 [[0:v]scale=160:120[small]]"));
  expectFailsCleanly("-map [small] -c:v mpeg4",
                     "Output with label \"small\" does not exist in any defined filter graph");
}

TEST_F(OutputFileTest, ProgramsStreamIdsAndMetadata) {
  ASSERT_EQ(openInput("", media::ensure(media::Kind::Mp4H264Aac)), 0) << engine_->FLastErrMsg;
  ASSERT_EQ(openOutput("-map 0:v -map 0:a -c:v mpeg2video -c:a mp2 -streamid 0:33 "
                       "-streamid 1:34 -program title=A:st=0:st=1 -program program_num=0x20:st=1 "
                       "-metadata title=Clip -metadata:s:a language=eng "
                       "-metadata:s:v rotate=90",
                       path("out.ts")),
            0)
      << engine_->FLastErrMsg;
  AVFormatContext* s = oc();
  EXPECT_EQ(s->streams[0]->id, 33);
  EXPECT_EQ(s->streams[1]->id, 34);
  ASSERT_EQ(s->nb_programs, 2u);
  EXPECT_EQ(s->programs[0]->id, 1);
  EXPECT_STREQ(ff::av_dict_get(s->programs[0]->metadata, "title", nullptr, 0)->value, "A");
  EXPECT_EQ(s->programs[0]->nb_stream_indexes, 2u);
  EXPECT_EQ(s->programs[1]->id, 32);
  EXPECT_STREQ(ff::av_dict_get(s->metadata, "title", nullptr, 0)->value, "Clip");
  EXPECT_STREQ(ff::av_dict_get(s->streams[1]->metadata, "language", nullptr, 0)->value, "eng");
  EXPECT_EQ(ff::av_dict_get(s->streams[0]->metadata, "rotate", nullptr, 0), nullptr);
  EXPECT_EQ(engine_->Foutput_streams[0]->rotate_overridden, 1);
  EXPECT_DOUBLE_EQ(engine_->Foutput_streams[0]->rotate_override_value, 90);

  // A failure after the file was created removes the empty file.
  expectFailsCleanly("-map 0:v -c:v mpeg2video -program foo=1", "Unknown program key foo.");
  expectFailsCleanly("-map 0:v -c:v mpeg2video -program title", "program string is empty.");
  expectFailsCleanly("-map 0:v -c:v mpeg2video -metadata novalue",
                     "No \"=\" character in metadata string novalue.");
}

TEST_F(OutputFileTest, ChaptersFromMetadataFiles) {
  const std::string meta = path("chapters.txt");
  std::ofstream(meta) << ";FFMETADATA1\ntitle=Book\n"
                         "[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=400\ntitle=One\n"
                         "[CHAPTER]\nTIMEBASE=1/1000\nSTART=400\nEND=1000\ntitle=Two\n";
  ASSERT_EQ(input(kVideo320), 0) << engine_->FLastErrMsg;
  ASSERT_EQ(openInput("-f ffmetadata", meta), 1) << engine_->FLastErrMsg;
  ASSERT_EQ(openOutput("-map 0 -c:v mpeg4", path("a.mkv")), 0) << engine_->FLastErrMsg;
  ASSERT_EQ(oc(0)->nb_chapters, 2u);
  EXPECT_STREQ(ff::av_dict_get(oc(0)->chapters[1]->metadata, "title", nullptr, 0)->value, "Two");

  // Cut to 0.5 s from 0.6 s: the first chapter ends before the start, the
  // second is shifted and clipped; its metadata stays out when mapped away.
  ASSERT_EQ(openOutput("-map 0 -c:v mpeg4 -ss 0.6 -t 0.3 -map_metadata:c -1", path("b.mkv")), 1)
      << engine_->FLastErrMsg;
  ASSERT_EQ(oc(1)->nb_chapters, 1u);
  EXPECT_EQ(oc(1)->chapters[0]->start, 0);
  EXPECT_EQ(oc(1)->chapters[0]->end, 300);
  EXPECT_EQ(oc(1)->chapters[0]->metadata, nullptr);

  // Global metadata comes from the first input unless mapped from another.
  ASSERT_EQ(openOutput("-map 0 -c:v mpeg4 -map_metadata 1 -map_chapters -1", path("c.mkv")), 2);
  EXPECT_STREQ(ff::av_dict_get(oc(2)->metadata, "title", nullptr, 0)->value, "Book");
  EXPECT_EQ(oc(2)->nb_chapters, 0u);
  expectFailsCleanly("-map 0 -c:v mpeg4 -map_chapters 5",
                     "Invalid input file index 5 in chapter mapping.");
  expectFailsCleanly("-map 0 -c:v mpeg4 -map_metadata:c 0",
                     "Invalid chapter index 0 while processing metadata maps.");
}

TEST_F(OutputFileTest, AttachmentsAreCopied) {
  const std::string font = path("font.ttf");
  std::ofstream(font) << "not really a font";
  ASSERT_EQ(input(kVideo320), 0) << engine_->FLastErrMsg;
  ASSERT_EQ(openOutput("-c:v mpeg4 -attach " + font + " -metadata:s:t mimetype=font/ttf",
                       path("att.mkv")),
            0)
      << engine_->FLastErrMsg;
  ASSERT_EQ(oc()->nb_streams, 2u);
  const AVStream* st = oc()->streams[1];
  EXPECT_EQ(st->codecpar->codec_type, AVMEDIA_TYPE_ATTACHMENT);
  EXPECT_EQ(st->codecpar->extradata_size, 17);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(st->codecpar->extradata), 17),
            "not really a font");
  EXPECT_STREQ(ff::av_dict_get(st->metadata, "filename", nullptr, 0)->value, "font.ttf");
  expectFailsCleanly("-c:v mpeg4 -attach " + path("missing.ttf"), "Could not open attachment file");
}

TEST_F(OutputFileTest, NeverOverwritesItsInputs) {
  const std::string wav = path("tone.wav");
  std::filesystem::copy_file(media::ensure(media::Kind::Wav), wav);
  ASSERT_EQ(openInput("", wav), 0) << engine_->FLastErrMsg;
  const auto size = std::filesystem::file_size(wav);
  EXPECT_LT(openOutput("-c:a pcm_s16le -y", wav), 0);
  EXPECT_THAT(engine_->FLastErrMsg, HasSubstr("same as Input #0"));
  EXPECT_EQ(std::filesystem::file_size(wav), size);

  // -n refuses an existing file; without it the file is written anew.
  engine_ = std::make_unique<TCustomFFmpegOpt>();
  ASSERT_EQ(openInput("", wav), 0) << engine_->FLastErrMsg;
  std::ofstream(path("old.wav")) << "old";
  EXPECT_LT(openOutput("-n -c:a pcm_s16le", path("old.wav")), 0);
  EXPECT_EQ(engine_->FLastErrMsg, "File \"" + path("old.wav") + "\" already exists. Ignored.");
  EXPECT_EQ(std::filesystem::file_size(path("old.wav")), 3u);
  engine_ = std::make_unique<TCustomFFmpegOpt>();  // -n is global: a new task forgets it
  ASSERT_EQ(openInput("", wav), 0) << engine_->FLastErrMsg;
  EXPECT_EQ(openOutput("-c:a pcm_s16le", path("old.wav")), 0) << engine_->FLastErrMsg;
}

TEST_F(OutputFileTest, RefusedOutputsLeaveNothing) {
  ASSERT_EQ(input(kVideo320), 0) << engine_->FLastErrMsg;
  expectFailsCleanly("-vn -an -sn -dn", "Output file #0 does not contain any stream");
  expectFailsCleanly("-c:v nosuchencoder", "Unknown encoder \"nosuchencoder\"");
  expectFailsCleanly("-map 0:a", "Stream map \"0:a\" matches no streams.");
  expectFailsCleanly("-ss 10 -to 5 -c:v mpeg4", "-to value smaller than -ss; aborting.");
  expectFailsCleanly("-c:v mpeg4 -b:v 1M -nosuchoption 1", "nosuchoption");
  // Nothing half-made stays: the engine still opens a good output.
  EXPECT_EQ(openOutput("-c:v mpeg4", path("good.mkv")), 0) << engine_->FLastErrMsg;
  EXPECT_THAT(mapping(), ElementsAre("0:0 video <- 0:0 mpeg4 [null]"));
}

TEST_F(OutputFileTest, MuxingDelaysAndTimeLimits) {
  ASSERT_EQ(input(kVideo320), 0);
  ASSERT_EQ(openOutput("-c:v mpeg4 -t 0.5", path("a.mkv")), 0) << engine_->FLastErrMsg;
  EXPECT_EQ(oc()->max_delay, 699999);
  EXPECT_EQ(oc()->duration, 500000);
  EXPECT_EQ(engine_->FOutputDuration, 500000);
  ASSERT_EQ(openOutput("-c:v mpeg4 -ss 0.2 -to 0.9 -muxpreload 0.44", path("b.mkv")), 1);
  EXPECT_EQ(engine_->Foutput_files[1]->recording_time, 700000);
  EXPECT_STREQ(engine_->Foutput_files[1]->opts.find("preload"), "439999");
  ASSERT_EQ(openOutput("-c:v mpeg4 -t 0.3 -to 0.9", path("c.mkv")), 2);
  EXPECT_TRUE(logged("-t and -to cannot be used together; using -t."));
  EXPECT_EQ(engine_->Foutput_files[2]->recording_time, 300000);
}

}  // namespace
