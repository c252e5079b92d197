// The proxy cache's Ruby face: "clear_proxies" on ZarnikExt.

#include "sketchup/proxy_manager.h"
#include "sketchup/ruby_glue.h"

namespace Zarnik {
namespace ProxyManager {

namespace {

VALUE ClearProxiesMethod(VALUE) {
  SceneRuby::Shield("ZarnikExt.clear_proxies", false, [] {
    ClearProxies();
    return true;
  });
  return Qtrue;
}

}  // namespace

void DefineRubyMethods() {
  const VALUE ext = rb_define_class("ZarnikExt", rb_cObject);
  rb_define_singleton_method(ext, "clear_proxies", ClearProxiesMethod, 0);
}

}  // namespace ProxyManager
}  // namespace Zarnik
