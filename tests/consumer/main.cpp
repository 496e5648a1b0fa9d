// consumer INPUT.pcm TUNING OUTPUT.pcm: INPUT (raw 16-bit little-endian) through the installed
// engine, read and fed in chunks of 1000 samples, one slot set by name and back to its value on
// the way; the output should be halvern-sim's, byte for byte.
#include <halvern/halvern.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: consumer INPUT.pcm TUNING OUTPUT.pcm\n";
    return 2;
  }
  try {
    halvern::Tuning tuning = halvern::Tuning::load(argv[2]);
    const int16_t makeup = tuning.get("dyn_makeup_db");
    tuning.set("dyn_makeup_db", makeup + 1);
    if (tuning.get(halvern::slot_number("dyn_makeup_db")) != makeup + 1 ||
        halvern::slot_catalogue().size() != halvern::SLOT_COUNT) {
      std::cerr << "consumer: the slots do not read back\n";
      return 1;
    }
    tuning.set(12, makeup);
    for (const halvern::Finding& f : tuning.check()) std::cerr << f.text << "\n";

    halvern::Processor processor(tuning);
    std::ifstream in(argv[1], std::ios::binary);
    std::ofstream out(argv[3], std::ios::binary);
    std::vector<char> bytes(2000);
    std::vector<int16_t> chunk;
    std::vector<int16_t> processed;
    size_t written = 0;
    while (in.read(bytes.data(), static_cast<std::streamsize>(bytes.size())) || in.gcount() > 0) {
      chunk.resize(static_cast<size_t>(in.gcount()) / 2);
      for (size_t i = 0; i < chunk.size(); ++i) {
        chunk[i] = static_cast<int16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                        static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
      }
      processed.clear();
      processor.process(chunk, &processed);
      for (const int16_t s : processed) {
        const char pair[2] = {static_cast<char>(s & 0xff), static_cast<char>((s >> 8) & 0xff)};
        out.write(pair, 2);
      }
      written += processed.size();
    }
    processed.clear();
    processor.flush(false, &processed);  // drops the partial frame, as halvern-sim does
    if (!processed.empty() || !out.flush()) {
      std::cerr << "consumer: cannot write " << argv[3] << "\n";
      return 1;
    }
    std::cout << "halvern " << halvern::version() << ": " << written / halvern::FRAME_SAMPLES
              << " frames\n";
  } catch (const halvern::Error& e) {
    std::cerr << "consumer: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
