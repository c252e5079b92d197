#pragma once

// The general Ruby methods of class ZarnikExt: "debug", "log" and "shutdown".

namespace Zarnik {
namespace AppManagerExt {

// Defines ZarnikExt and its general methods. False (with an error record) when Ruby
// refused the class, for instance because ZarnikExt already names something else.
bool Init();

}  // namespace AppManagerExt
}  // namespace Zarnik
