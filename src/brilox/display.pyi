import sys
from os import PathLike
from typing import Any, Dict, Final, Iterable, List, Optional, Sequence, Tuple, Union, final

from _typeshed import structseq

from brilox.surface import Surface

@final
class Event(structseq[int], Tuple[int, int, int, int, int, int, int, int, int, int]):
    if sys.version_info >= (3, 10):
        __match_args__: Final = ("type", "key", "mod", "button", "x", "y", "w", "h", "gain",
                                 "state")
    def __new__(cls, sequence: Iterable[int], dict: Dict[str, Any] = ...) -> "Event": ...
    @property
    def type(self) -> int: ...
    @property
    def key(self) -> int: ...
    @property
    def mod(self) -> int: ...
    @property
    def button(self) -> int: ...
    @property
    def x(self) -> int: ...
    @property
    def y(self) -> int: ...
    @property
    def w(self) -> int: ...
    @property
    def h(self) -> int: ...
    @property
    def gain(self) -> int: ...
    @property
    def state(self) -> int: ...

def init() -> None: ...
def quit() -> None: ...
def get_init() -> bool: ...
def set_mode(size: Sequence[int], depth: int = ..., flags: int = ..., /) -> None: ...
def toggle_fullscreen() -> bool: ...
def get_size() -> Tuple[int, int]: ...
def get_desktop_size() -> Tuple[int, int]: ...
def list_modes() -> Optional[List[Tuple[int, int]]]: ...
def get_surface() -> Surface: ...
def flip() -> None: ...
def pump() -> None: ...
def quit_requested() -> bool: ...
def poll_events() -> List[Event]: ...
def wait_event(timeout_ms: int, /) -> Optional[Event]: ...
def post_event(type: int, /) -> None: ...
def set_caption(title: str, /) -> None: ...
def save(path: Union[str, bytes, PathLike[str], PathLike[bytes]], /) -> None: ...

NOEVENT: Final = 0
ACTIVEEVENT: Final = 1
KEYDOWN: Final = 2
KEYUP: Final = 3
MOUSEMOTION: Final = 4
MOUSEBUTTONDOWN: Final = 5
MOUSEBUTTONUP: Final = 6
QUIT: Final = 12
VIDEORESIZE: Final = 16
VIDEOEXPOSE: Final = 17
USEREVENT: Final = 24
SWSURFACE: Final = 0
RESIZABLE: Final = 0x10
FULLSCREEN: Final = 0x80000000
NOFRAME: Final = 0x20
APPMOUSEFOCUS: Final = 0x01
APPINPUTFOCUS: Final = 0x02
APPACTIVE: Final = 0x04
BUTTON_LEFT: Final = 1
BUTTON_MIDDLE: Final = 2
BUTTON_RIGHT: Final = 3
BUTTON_WHEELUP: Final = 4
BUTTON_WHEELDOWN: Final = 5
K_UNKNOWN: Final = 0
K_FIRST: Final = 0
K_BACKSPACE: Final = 8
K_TAB: Final = 9
K_CLEAR: Final = 12
K_RETURN: Final = 13
K_PAUSE: Final = 19
K_ESCAPE: Final = 27
K_SPACE: Final = 32
K_EXCLAIM: Final = 33
K_QUOTEDBL: Final = 34
K_HASH: Final = 35
K_DOLLAR: Final = 36
K_AMPERSAND: Final = 38
K_QUOTE: Final = 39
K_LEFTPAREN: Final = 40
K_RIGHTPAREN: Final = 41
K_ASTERISK: Final = 42
K_PLUS: Final = 43
K_COMMA: Final = 44
K_MINUS: Final = 45
K_PERIOD: Final = 46
K_SLASH: Final = 47
K_0: Final = 48
K_1: Final = 49
K_2: Final = 50
K_3: Final = 51
K_4: Final = 52
K_5: Final = 53
K_6: Final = 54
K_7: Final = 55
K_8: Final = 56
K_9: Final = 57
K_COLON: Final = 58
K_SEMICOLON: Final = 59
K_LESS: Final = 60
K_EQUALS: Final = 61
K_GREATER: Final = 62
K_QUESTION: Final = 63
K_AT: Final = 64
K_LEFTBRACKET: Final = 91
K_BACKSLASH: Final = 92
K_RIGHTBRACKET: Final = 93
K_CARET: Final = 94
K_UNDERSCORE: Final = 95
K_BACKQUOTE: Final = 96
K_a: Final = 97
K_b: Final = 98
K_c: Final = 99
K_d: Final = 100
K_e: Final = 101
K_f: Final = 102
K_g: Final = 103
K_h: Final = 104
K_i: Final = 105
K_j: Final = 106
K_k: Final = 107
K_l: Final = 108
K_m: Final = 109
K_n: Final = 110
K_o: Final = 111
K_p: Final = 112
K_q: Final = 113
K_r: Final = 114
K_s: Final = 115
K_t: Final = 116
K_u: Final = 117
K_v: Final = 118
K_w: Final = 119
K_x: Final = 120
K_y: Final = 121
K_z: Final = 122
K_DELETE: Final = 127
K_WORLD_0: Final = 160
K_WORLD_1: Final = 161
K_WORLD_2: Final = 162
K_WORLD_3: Final = 163
K_WORLD_4: Final = 164
K_WORLD_5: Final = 165
K_WORLD_6: Final = 166
K_WORLD_7: Final = 167
K_WORLD_8: Final = 168
K_WORLD_9: Final = 169
K_WORLD_10: Final = 170
K_WORLD_11: Final = 171
K_WORLD_12: Final = 172
K_WORLD_13: Final = 173
K_WORLD_14: Final = 174
K_WORLD_15: Final = 175
K_WORLD_16: Final = 176
K_WORLD_17: Final = 177
K_WORLD_18: Final = 178
K_WORLD_19: Final = 179
K_WORLD_20: Final = 180
K_WORLD_21: Final = 181
K_WORLD_22: Final = 182
K_WORLD_23: Final = 183
K_WORLD_24: Final = 184
K_WORLD_25: Final = 185
K_WORLD_26: Final = 186
K_WORLD_27: Final = 187
K_WORLD_28: Final = 188
K_WORLD_29: Final = 189
K_WORLD_30: Final = 190
K_WORLD_31: Final = 191
K_WORLD_32: Final = 192
K_WORLD_33: Final = 193
K_WORLD_34: Final = 194
K_WORLD_35: Final = 195
K_WORLD_36: Final = 196
K_WORLD_37: Final = 197
K_WORLD_38: Final = 198
K_WORLD_39: Final = 199
K_WORLD_40: Final = 200
K_WORLD_41: Final = 201
K_WORLD_42: Final = 202
K_WORLD_43: Final = 203
K_WORLD_44: Final = 204
K_WORLD_45: Final = 205
K_WORLD_46: Final = 206
K_WORLD_47: Final = 207
K_WORLD_48: Final = 208
K_WORLD_49: Final = 209
K_WORLD_50: Final = 210
K_WORLD_51: Final = 211
K_WORLD_52: Final = 212
K_WORLD_53: Final = 213
K_WORLD_54: Final = 214
K_WORLD_55: Final = 215
K_WORLD_56: Final = 216
K_WORLD_57: Final = 217
K_WORLD_58: Final = 218
K_WORLD_59: Final = 219
K_WORLD_60: Final = 220
K_WORLD_61: Final = 221
K_WORLD_62: Final = 222
K_WORLD_63: Final = 223
K_WORLD_64: Final = 224
K_WORLD_65: Final = 225
K_WORLD_66: Final = 226
K_WORLD_67: Final = 227
K_WORLD_68: Final = 228
K_WORLD_69: Final = 229
K_WORLD_70: Final = 230
K_WORLD_71: Final = 231
K_WORLD_72: Final = 232
K_WORLD_73: Final = 233
K_WORLD_74: Final = 234
K_WORLD_75: Final = 235
K_WORLD_76: Final = 236
K_WORLD_77: Final = 237
K_WORLD_78: Final = 238
K_WORLD_79: Final = 239
K_WORLD_80: Final = 240
K_WORLD_81: Final = 241
K_WORLD_82: Final = 242
K_WORLD_83: Final = 243
K_WORLD_84: Final = 244
K_WORLD_85: Final = 245
K_WORLD_86: Final = 246
K_WORLD_87: Final = 247
K_WORLD_88: Final = 248
K_WORLD_89: Final = 249
K_WORLD_90: Final = 250
K_WORLD_91: Final = 251
K_WORLD_92: Final = 252
K_WORLD_93: Final = 253
K_WORLD_94: Final = 254
K_WORLD_95: Final = 255
K_KP0: Final = 256
K_KP1: Final = 257
K_KP2: Final = 258
K_KP3: Final = 259
K_KP4: Final = 260
K_KP5: Final = 261
K_KP6: Final = 262
K_KP7: Final = 263
K_KP8: Final = 264
K_KP9: Final = 265
K_KP_PERIOD: Final = 266
K_KP_DIVIDE: Final = 267
K_KP_MULTIPLY: Final = 268
K_KP_MINUS: Final = 269
K_KP_PLUS: Final = 270
K_KP_ENTER: Final = 271
K_KP_EQUALS: Final = 272
K_UP: Final = 273
K_DOWN: Final = 274
K_RIGHT: Final = 275
K_LEFT: Final = 276
K_INSERT: Final = 277
K_HOME: Final = 278
K_END: Final = 279
K_PAGEUP: Final = 280
K_PAGEDOWN: Final = 281
K_F1: Final = 282
K_F2: Final = 283
K_F3: Final = 284
K_F4: Final = 285
K_F5: Final = 286
K_F6: Final = 287
K_F7: Final = 288
K_F8: Final = 289
K_F9: Final = 290
K_F10: Final = 291
K_F11: Final = 292
K_F12: Final = 293
K_F13: Final = 294
K_F14: Final = 295
K_F15: Final = 296
K_NUMLOCK: Final = 300
K_CAPSLOCK: Final = 301
K_SCROLLOCK: Final = 302
K_RSHIFT: Final = 303
K_LSHIFT: Final = 304
K_RCTRL: Final = 305
K_LCTRL: Final = 306
K_RALT: Final = 307
K_LALT: Final = 308
K_RMETA: Final = 309
K_LMETA: Final = 310
K_LSUPER: Final = 311
K_RSUPER: Final = 312
K_MODE: Final = 313
K_COMPOSE: Final = 314
K_HELP: Final = 315
K_PRINT: Final = 316
K_SYSREQ: Final = 317
K_BREAK: Final = 318
K_MENU: Final = 319
K_POWER: Final = 320
K_EURO: Final = 321
K_UNDO: Final = 322
K_LAST: Final = 323
KMOD_NONE: Final = 0x0000
KMOD_LSHIFT: Final = 0x0001
KMOD_RSHIFT: Final = 0x0002
KMOD_LCTRL: Final = 0x0040
KMOD_RCTRL: Final = 0x0080
KMOD_LALT: Final = 0x0100
KMOD_RALT: Final = 0x0200
KMOD_LMETA: Final = 0x0400
KMOD_RMETA: Final = 0x0800
KMOD_NUM: Final = 0x1000
KMOD_CAPS: Final = 0x2000
KMOD_MODE: Final = 0x4000
KMOD_RESERVED: Final = 0x8000
KMOD_CTRL: Final = 0x00C0
KMOD_SHIFT: Final = 0x0003
KMOD_ALT: Final = 0x0300
KMOD_META: Final = 0x0C00
