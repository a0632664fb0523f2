#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "screenshot/screen_grab.h"
#include "screenshot/screenshot_options.h"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const char* environmentDisplay = std::getenv("DISPLAY");
  auto parsed = screenshot::parseArguments(arguments, environmentDisplay ? environmentDisplay : "");
  if (!parsed) {
    std::fprintf(stderr, "tovarine-screenshot: %s\n%s", parsed.error().c_str(),
                 screenshot::usageText().c_str());
    return 2;
  }
  if (parsed->helpRequested) {
    std::fputs(screenshot::usageText().c_str(), stdout);
    return 0;
  }
  const auto& options = parsed->options;
  auto image = screenshot::grabScreen(options.display);
  if (!image) {
    std::fprintf(stderr, "tovarine-screenshot: %s\n", image.error().c_str());
    return 1;
  }
  if (!image->save(QString::fromStdString(options.out.string()), "PNG")) {
    std::fprintf(stderr, "tovarine-screenshot: cannot write %s\n", options.out.c_str());
    return 1;
  }
  return 0;
}
