"""A key name that is not text."""

from sample_addon import CertificateKey, Environment

from corvane_core import corvane_keys


def generate(env: Environment) -> None:
    corvane_keys._generate_corvane_connect_private_key(CertificateKey(env), 2024, passphrase="secret")  # expect: Argument 2 to "_generate_corvane_connect_private_key" has incompatible type "int"; expected "str"
