"""The operation guard: user first, then configuration; state before active."""

import pytest

from corvane_core import corvane_user

USER_MSG = "Operation '{}' is not allowed for inactive Users."
CONFIG_MSG = "Operation '{}' is not allowed for an inactive Corvane Connect Config."


@pytest.mark.parametrize("user, config, expected", [
    ({"state": "activated", "active": True}, {"state": "confirm", "active": True}, None),
    ({"state": "draft", "active": True}, {"state": "confirm", "active": True}, USER_MSG),
    ({"state": "activated", "active": False}, {"state": "confirm", "active": True}, USER_MSG),
    ({"state": "activated", "active": False}, {"state": "draft", "active": False}, USER_MSG),
    ({"state": "activated", "active": True}, {"state": "draft", "active": True}, CONFIG_MSG),
    ({"state": "activated", "active": True}, {"state": "confirm", "active": False}, CONFIG_MSG),
    ({"state": False, "active": True}, {"state": "confirm", "active": True}, USER_MSG),
])
def test_guard_outcomes(world, user, config, expected):
    world.user.write(user)
    world.config.write(config)
    world.journal.clear()
    result = corvane_user._check_status(world.user, operation="list-accounts")
    if expected is None:
        assert result == {}
    else:
        assert result == {"error": expected.format("list-accounts")}
    assert world.journal == []  # reads only
    assert world.session.calls == []


def test_omitted_operation_reads_none(world):
    world.user.state = "draft"
    assert corvane_user._check_status(world.user) == {"error": USER_MSG.format("None")}
    assert corvane_user._check_status(world.user, "pain-request") == {"error": USER_MSG.format("pain-request")}


@pytest.mark.parametrize("size", [0, 2])
def test_not_one_user_fails_in_the_singleton_check(world, size):
    users = world.env["corvane.connect.kav.user"]
    if size:
        users = world.user + world.new_user()
    with pytest.raises(ValueError, match="Expected singleton"):
        corvane_user._check_status(users, operation="list-accounts")
