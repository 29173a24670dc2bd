// quillstone-demo: a host program that starts the client against an embedded loopback collector
// and shows every report that arrives.
#include <quillstone/quillstone.hpp>

#include <iostream>

#include "attribution_demo.hpp"
#include "support/collector.hpp"

int main() {
  using quillstone::Quillstone;
  quillstone::testing::Collector collector;
  collector.onRequest([](const quillstone::testing::RecordedRequest& request) {
    std::cout << "collector <- " << request.method << " " << request.path << " " << request.body
              << std::endl;
  });
  std::cout << "embedded collector at " << collector.url() << std::endl;

  Quillstone::Config config("demo-app", Quillstone::resolveServer(collector.url()), "1.0.0",
                            "development", true, false, false);
  Quillstone::shared().start(config);
  std::cout << "client started with server " << config.server().string() << std::endl;
  runAttributionDemo(collector);
  return 0;
}
