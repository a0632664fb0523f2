#include "app/shell/orvandel_app.h"

int main(int argc, char** argv) {
  return app::OrvandelApp::main(argc, argv);
}
