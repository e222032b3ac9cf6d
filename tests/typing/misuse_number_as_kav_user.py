"""A number where the modules take a KAV User."""

from corvane_core import corvane_user

corvane_user.list_accounts(42)  # expect: Argument 1 to "list_accounts" has incompatible type "int"; expected "KavUser"
