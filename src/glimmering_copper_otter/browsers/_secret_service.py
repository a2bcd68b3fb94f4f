"""The password Chromium keeps in the Secret Service (GNOME Keyring,
KeePassXC, ...) for its `v11` values, read through the `secretstorage`
package of the browsers extra.  KWallet is not read."""

# The label of each browser's item.
LABELS = {
    "chromium": "Chromium Safe Storage", "chrome": "Chrome Safe Storage",
    "edge": "Microsoft Edge Safe Storage", "brave": "Brave Safe Storage",
    "opera": "Chromium Safe Storage", "vivaldi": "Chrome Safe Storage",
}
# The application attribute Chromium's libsecret items carry.
APPLICATIONS = {"chromium": "chromium", "chrome": "chrome", "edge": "microsoft-edge",
                "brave": "brave", "opera": "opera", "vivaldi": "vivaldi"}


def password(browser: str) -> tuple[bytes | None, str]:
    """The browser's password from the Secret Service, or None and why not."""
    try:
        import secretstorage
    except ImportError:
        return None, "the Secret Service is read through the browsers extra (secretstorage), " \
                     "which is not installed"
    label = LABELS.get(browser, "Chromium Safe Storage")
    try:
        connection = secretstorage.dbus_init()
        try:
            collection = secretstorage.get_default_collection(connection)
            if collection.is_locked():
                return None, "the Secret Service's default collection is locked"
            for item in collection.get_all_items():
                attributes = item.get_attributes()
                if item.get_label() == label or attributes.get("application") == APPLICATIONS.get(browser):
                    return item.get_secret(), ""
        finally:
            connection.close()
    except Exception as error:  # noqa: BLE001  any failure of D-Bus is "not found"
        return None, f"the Secret Service could not be asked ({type(error).__name__}: {error})"
    return None, f"the Secret Service holds no {label!r}"
