// data.storage: module body.
#include "storage.hpp"

namespace py = pybind11;
using namespace velmora::storage;

PYBIND11_MODULE(storage, m) {
    define_consolidated_storage(m);
    define_data_storage(m);
    define_subscription_storage(m);
    define_playback_and_bookmarks(m);
    define_radio_station_storage(m);
    define_download_metadata_storage(m);
    define_spotify_credentials_storage(m);
    define_spotify_storage(m);
    define_quietshelf_download_tracking(m);
}
