"""The end-to-end machinery under the one name tools import it by.

model.py holds the model of the viewer, xserver.py the private X server, session.py the cases'
sessions and the runner loop; this module only gathers their public names.
"""

from model import (PAGE_SIZE, UNIT, VIDEO_MODES, Image, ViewerModel, bmp_bytes,  # noqa: F401
                   bmp_rows, bmp_summary, decode_units, f32, first_difference, load_page,
                   make_data, match_sequence, next_pow2, overlay_pixels, page_pixels_match,
                   stepped_offset, texel_under, wrapped_offset)
from session import (SANITIZER_MARKERS, Case, CaseFailure, Program, Session,  # noqa: F401
                     base_env, check, kill_group, parse_args, popen_logged, run_cases,
                     sanitizer_env, wait_until)
from xserver import XServer  # noqa: F401
