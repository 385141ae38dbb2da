"""Stand-in for the global hotkey library, holding only what Velmora calls:
the wx handler with register_key and unregister_all_keys."""
