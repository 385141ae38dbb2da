// data.storage: the pieces of the module, defined in this order at load.
#pragma once

#include "pyfunc.hpp"

namespace velmora::storage {
namespace py = pybind11;

// encoder.cpp: the data file's text, exactly as
// json.dumps(document, indent=4, ensure_ascii=False) writes it.
py::str encode_document(py::handle document);

// consolidated.cpp: ConsolidatedStorage.
void define_consolidated_storage(py::module_& m);
// data_storage.cpp: DataStorage.
void define_data_storage(py::module_& m);

// The section stores, each a subclass of DataStorage.
void define_subscription_storage(py::module_& m);       // subscriptions.cpp
void define_playback_and_bookmarks(py::module_& m);     // positions.cpp
void define_radio_station_storage(py::module_& m);      // radio.cpp
void define_download_metadata_storage(py::module_& m);  // download_records.cpp
void define_spotify_credentials_storage(py::module_& m);  // spotify_credentials.cpp
void define_spotify_storage(py::module_& m);            // spotify_data.cpp
void define_quietshelf_download_tracking(py::module_& m);  // quietshelf_tracking.cpp

}  // namespace velmora::storage
