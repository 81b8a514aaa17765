# The ALSA route: players find no sound server and play through ALSA's default PCM.
"""There is no sound card here, so ALSA's default PCM is the PulseAudio plugin
(libasound2-plugins), pointed by a home's .asoundrc at the private PulseAudio server, while the
player's own PulseAudio connection is sent to a socket that does not exist. The sink's monitor
then shows what the player's ALSA output played, paced as a device plays it."""

import os

import pulse

ASOUNDRC = """pcm.!default {{ type pulse server "{server}" }}
ctl.!default {{ type pulse server "{server}" }}
"""


class AlsaRoute(pulse.PrivateServer):
    stack = "alsa"
    prefix = "playonce-alsa-"

    def player_environment(self, home=None):
        environment = self.client_environment(home)
        environment["PULSE_SERVER"] = f"unix:{os.path.join(self.root, 'no-server', 'native')}"
        return environment

    def prepare_home(self, home):
        with open(os.path.join(home, ".asoundrc"), "w") as settings:
            settings.write(ASOUNDRC.format(server=self.server_address))
