"""Fifty small classes for the benchmark of instances spread over many classes.

Generated once; each class has its own source so that each header is distinct.
"""


class Shape00:
    sides = 3

    def area(self):
        return self.w * self.h * 1


class Shape01:
    sides = 4

    def area(self):
        return self.w * self.h * 2


class Shape02:
    sides = 5

    def area(self):
        return self.w * self.h * 3


class Shape03:
    sides = 6

    def area(self):
        return self.w * self.h * 4


class Shape04:
    sides = 7

    def area(self):
        return self.w * self.h * 5


class Shape05:
    sides = 8

    def area(self):
        return self.w * self.h * 6


class Shape06:
    sides = 9

    def area(self):
        return self.w * self.h * 7


class Shape07:
    sides = 10

    def area(self):
        return self.w * self.h * 8


class Shape08:
    sides = 11

    def area(self):
        return self.w * self.h * 9


class Shape09:
    sides = 12

    def area(self):
        return self.w * self.h * 10


class Shape10:
    sides = 13

    def area(self):
        return self.w * self.h * 11


class Shape11:
    sides = 14

    def area(self):
        return self.w * self.h * 12


class Shape12:
    sides = 15

    def area(self):
        return self.w * self.h * 13


class Shape13:
    sides = 16

    def area(self):
        return self.w * self.h * 14


class Shape14:
    sides = 17

    def area(self):
        return self.w * self.h * 15


class Shape15:
    sides = 18

    def area(self):
        return self.w * self.h * 16


class Shape16:
    sides = 19

    def area(self):
        return self.w * self.h * 17


class Shape17:
    sides = 20

    def area(self):
        return self.w * self.h * 18


class Shape18:
    sides = 21

    def area(self):
        return self.w * self.h * 19


class Shape19:
    sides = 22

    def area(self):
        return self.w * self.h * 20


class Shape20:
    sides = 23

    def area(self):
        return self.w * self.h * 21


class Shape21:
    sides = 24

    def area(self):
        return self.w * self.h * 22


class Shape22:
    sides = 25

    def area(self):
        return self.w * self.h * 23


class Shape23:
    sides = 26

    def area(self):
        return self.w * self.h * 24


class Shape24:
    sides = 27

    def area(self):
        return self.w * self.h * 25


class Shape25:
    sides = 28

    def area(self):
        return self.w * self.h * 26


class Shape26:
    sides = 29

    def area(self):
        return self.w * self.h * 27


class Shape27:
    sides = 30

    def area(self):
        return self.w * self.h * 28


class Shape28:
    sides = 31

    def area(self):
        return self.w * self.h * 29


class Shape29:
    sides = 32

    def area(self):
        return self.w * self.h * 30


class Shape30:
    sides = 33

    def area(self):
        return self.w * self.h * 31


class Shape31:
    sides = 34

    def area(self):
        return self.w * self.h * 32


class Shape32:
    sides = 35

    def area(self):
        return self.w * self.h * 33


class Shape33:
    sides = 36

    def area(self):
        return self.w * self.h * 34


class Shape34:
    sides = 37

    def area(self):
        return self.w * self.h * 35


class Shape35:
    sides = 38

    def area(self):
        return self.w * self.h * 36


class Shape36:
    sides = 39

    def area(self):
        return self.w * self.h * 37


class Shape37:
    sides = 40

    def area(self):
        return self.w * self.h * 38


class Shape38:
    sides = 41

    def area(self):
        return self.w * self.h * 39


class Shape39:
    sides = 42

    def area(self):
        return self.w * self.h * 40


class Shape40:
    sides = 43

    def area(self):
        return self.w * self.h * 41


class Shape41:
    sides = 44

    def area(self):
        return self.w * self.h * 42


class Shape42:
    sides = 45

    def area(self):
        return self.w * self.h * 43


class Shape43:
    sides = 46

    def area(self):
        return self.w * self.h * 44


class Shape44:
    sides = 47

    def area(self):
        return self.w * self.h * 45


class Shape45:
    sides = 48

    def area(self):
        return self.w * self.h * 46


class Shape46:
    sides = 49

    def area(self):
        return self.w * self.h * 47


class Shape47:
    sides = 50

    def area(self):
        return self.w * self.h * 48


class Shape48:
    sides = 51

    def area(self):
        return self.w * self.h * 49


class Shape49:
    sides = 52

    def area(self):
        return self.w * self.h * 50


CLASSES = [Shape00, Shape01, Shape02, Shape03, Shape04, Shape05, Shape06, Shape07, Shape08, Shape09, Shape10, Shape11, Shape12, Shape13, Shape14, Shape15, Shape16, Shape17, Shape18, Shape19, Shape20, Shape21, Shape22, Shape23, Shape24, Shape25, Shape26, Shape27, Shape28, Shape29, Shape30, Shape31, Shape32, Shape33, Shape34, Shape35, Shape36, Shape37, Shape38, Shape39, Shape40, Shape41, Shape42, Shape43, Shape44, Shape45, Shape46, Shape47, Shape48, Shape49]
