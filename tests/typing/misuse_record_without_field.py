"""Record classes without a field the modules read."""

from sample_addon import Environment, KavUser

from corvane_core import corvane_keys, corvane_pain


class PainRequestWithoutName:
    data = b""
    identifier = ""
    state = "draft"

    def __init__(self, user: KavUser) -> None:
        self.kav_user_id = user


class KeyWithoutPem:
    def __init__(self, env: Environment) -> None:
        self.env = env


def upload(user: KavUser) -> None:
    corvane_pain._pain_request(PainRequestWithoutName(user))  # expect: "PainRequestWithoutName" is missing following "PainRequest" protocol member:|name


def sign(env: Environment) -> None:
    corvane_keys._corvane_connect_sign(KeyWithoutPem(env), "m")  # expect: "KeyWithoutPem" is missing following "CertificateKey" protocol members:|create, pem_key
