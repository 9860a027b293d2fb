       IDENTIFICATION DIVISION.
       PROGRAM-ID. WORK-FILES.
      * What a batch job does with its work files, each FILE STATUS
      * printed. Run as "verbs": CLOSE REEL, UNIT and NO REWIND on a
      * file of each organization; one work file name reused with
      * records of another length, other keys and another
      * organization; OPENs that fail, one of them on a file that a
      * second run of this program holds ("hold"). Run as "die": adds
      * a record to an indexed file and is killed before it closes it.
      * Run as "after": opens that file again, then reloads it.
       ENVIRONMENT DIVISION.
       INPUT-OUTPUT SECTION.
       FILE-CONTROL.
           SELECT SQ ASSIGN TO "wf_sequential.dat"
               ORGANIZATION SEQUENTIAL FILE STATUS FS.
           SELECT RL ASSIGN TO "wf_relative.dat"
               ORGANIZATION RELATIVE ACCESS DYNAMIC RELATIVE KEY RK
               FILE STATUS FS.
           SELECT IX ASSIGN TO "wf_indexed.dat"
               ORGANIZATION INDEXED ACCESS DYNAMIC RECORD KEY IX-KEY
               FILE STATUS FS.
      * One work file, four layouts.
           SELECT WK-SHORT ASSIGN TO "wf_work.dat"
               ORGANIZATION SEQUENTIAL FILE STATUS FS.
           SELECT WK-BY-CODE ASSIGN TO "wf_work.dat"
               ORGANIZATION INDEXED ACCESS DYNAMIC RECORD KEY BC-CODE
               FILE STATUS FS.
           SELECT WK-BY-NAME ASSIGN TO "wf_work.dat"
               ORGANIZATION INDEXED ACCESS DYNAMIC RECORD KEY BN-NAME
               ALTERNATE RECORD KEY BN-CODE
               FILE STATUS FS.
           SELECT WK-SLOTS ASSIGN TO "wf_work.dat"
               ORGANIZATION RELATIVE ACCESS DYNAMIC RELATIVE KEY RK
               FILE STATUS FS.
           SELECT WK-MISSING ASSIGN TO "wf_missing.dat"
               ORGANIZATION SEQUENTIAL FILE STATUS FS.
       DATA DIVISION.
       FILE SECTION.
       FD SQ.
       01 SQ-REC            PIC X(8).
       FD RL.
       01 RL-REC            PIC X(8).
       FD IX.
       01 IX-REC.
          05 IX-KEY         PIC X(4).
          05 IX-TEXT        PIC X(8).
       FD WK-SHORT.
       01 SH-REC            PIC X(8).
       FD WK-BY-CODE.
       01 BC-REC.
          05 BC-CODE        PIC X(4).
          05 BC-NAME        PIC X(8).
       FD WK-BY-NAME.
       01 BN-REC.
          05 BN-CODE        PIC X(4).
          05 BN-NAME        PIC X(8).
          05 BN-AMOUNT      PIC 9(4).
       FD WK-SLOTS.
       01 SL-REC            PIC X(6).
       FD WK-MISSING.
       01 MS-REC            PIC X(8).
       WORKING-STORAGE SECTION.
       01 FS                PIC XX.
       01 RK                PIC 99.
       01 ACTION            PIC X(8).
       01 WHAT              PIC X(32).
       PROCEDURE DIVISION.
       MAIN.
           ACCEPT ACTION FROM COMMAND-LINE
           EVALUATE ACTION
               WHEN "verbs" PERFORM REELS PERFORM REUSE PERFORM REFUSED
               WHEN "hold"  PERFORM HELD-ELSEWHERE
               WHEN "die"   PERFORM DIE
               WHEN "after" PERFORM AFTER-DEATH
               WHEN OTHER   DISPLAY "usage: verbs|hold|die|after"
           END-EVALUATE
           STOP RUN.

      * A disk file has no reels or units: REEL and UNIT give 07 and
      * the file goes on where it was; NO REWIND closes it with 07.
       REELS.
           OPEN OUTPUT SQ
           MOVE "ONE" TO SQ-REC WRITE SQ-REC
           CLOSE SQ REEL
           MOVE "CLOSE REEL sequential output" TO WHAT PERFORM SHOW
           MOVE "TWO" TO SQ-REC WRITE SQ-REC
           MOVE "WRITE after CLOSE REEL" TO WHAT PERFORM SHOW
           CLOSE SQ UNIT
           MOVE "CLOSE UNIT" TO WHAT PERFORM SHOW
           MOVE "THREE" TO SQ-REC WRITE SQ-REC
           MOVE "WRITE after CLOSE UNIT" TO WHAT PERFORM SHOW
           CLOSE SQ NO REWIND
           MOVE "CLOSE NO REWIND" TO WHAT PERFORM SHOW
           WRITE SQ-REC
           MOVE "WRITE after CLOSE NO REWIND" TO WHAT PERFORM SHOW
           OPEN INPUT SQ
           READ SQ
           MOVE "READ" TO WHAT PERFORM SHOW-SQ
           CLOSE SQ REEL
           MOVE "CLOSE REEL sequential input" TO WHAT PERFORM SHOW
           READ SQ
           MOVE "READ after CLOSE REEL" TO WHAT PERFORM SHOW-SQ
           CLOSE SQ UNIT FOR REMOVAL
           MOVE "CLOSE UNIT FOR REMOVAL" TO WHAT PERFORM SHOW
           READ SQ
           MOVE "READ after it" TO WHAT PERFORM SHOW-SQ
           CLOSE SQ

           OPEN OUTPUT RL
           MOVE 1 TO RK MOVE "R-ONE" TO RL-REC WRITE RL-REC
           CLOSE RL REEL
           MOVE "CLOSE REEL relative" TO WHAT PERFORM SHOW
           MOVE 2 TO RK MOVE "R-TWO" TO RL-REC WRITE RL-REC
           MOVE "WRITE after CLOSE REEL" TO WHAT PERFORM SHOW
           CLOSE RL NO REWIND
           MOVE "CLOSE NO REWIND" TO WHAT PERFORM SHOW
           OPEN INPUT RL
           PERFORM UNTIL FS NOT = "00"
               READ RL NEXT
               IF FS = "00" DISPLAY "  " RL-REC END-IF
           END-PERFORM
           CLOSE RL

           OPEN OUTPUT IX
           MOVE "K001FIRST" TO IX-REC WRITE IX-REC
           CLOSE IX UNIT
           MOVE "CLOSE UNIT indexed" TO WHAT PERFORM SHOW
           MOVE "K002SECOND" TO IX-REC WRITE IX-REC
           MOVE "WRITE after CLOSE UNIT" TO WHAT PERFORM SHOW
           CLOSE IX
           OPEN INPUT IX
           PERFORM UNTIL FS NOT = "00"
               READ IX NEXT
               IF FS = "00" DISPLAY "  " IX-REC END-IF
           END-PERFORM
           CLOSE IX.

      * OPEN OUTPUT makes the work file anew, whatever it held before.
       REUSE.
           OPEN OUTPUT WK-SHORT
           MOVE "OPEN OUTPUT 8-byte sequential" TO WHAT PERFORM SHOW
           MOVE "SHORT" TO SH-REC WRITE SH-REC
           CLOSE WK-SHORT

           OPEN OUTPUT WK-BY-CODE
           MOVE "OPEN OUTPUT indexed by code" TO WHAT PERFORM SHOW
           MOVE "C002BETA" TO BC-REC WRITE BC-REC
           MOVE "C001ALPHA" TO BC-REC WRITE BC-REC
           CLOSE WK-BY-CODE
           OPEN INPUT WK-BY-CODE
           PERFORM UNTIL FS NOT = "00"
               READ WK-BY-CODE NEXT
               IF FS = "00" DISPLAY "  " BC-REC END-IF
           END-PERFORM
           CLOSE WK-BY-CODE

           OPEN OUTPUT WK-BY-NAME
           MOVE "OPEN OUTPUT indexed by name" TO WHAT PERFORM SHOW
           MOVE "C007ZETA    0070" TO BN-REC WRITE BN-REC
           MOVE "C009ETA     0090" TO BN-REC WRITE BN-REC
           CLOSE WK-BY-NAME
           OPEN INPUT WK-BY-NAME
           PERFORM UNTIL FS NOT = "00"
               READ WK-BY-NAME NEXT
               IF FS = "00" DISPLAY "  " BN-REC END-IF
           END-PERFORM
           CLOSE WK-BY-NAME

           OPEN OUTPUT WK-SLOTS
           MOVE "OPEN OUTPUT relative" TO WHAT PERFORM SHOW
           MOVE 3 TO RK MOVE "SLOT3" TO SL-REC WRITE SL-REC
           CLOSE WK-SLOTS
           OPEN INPUT WK-SLOTS
           READ WK-SLOTS NEXT
           DISPLAY "  " SL-REC
           CLOSE WK-SLOTS

           OPEN INPUT WK-BY-CODE
           MOVE "OPEN INPUT indexed on relative" TO WHAT PERFORM SHOW.

      * An OPEN that fails says why on stderr.
       REFUSED.
           OPEN INPUT WK-MISSING
           MOVE "OPEN INPUT missing file" TO WHAT PERFORM SHOW
           OPEN OUTPUT WK-SHORT
           MOVE "SHORT" TO SH-REC WRITE SH-REC
           CLOSE WK-SHORT
           OPEN INPUT WK-BY-NAME
           MOVE "OPEN INPUT indexed on sequential" TO WHAT PERFORM SHOW
           OPEN I-O WK-SHORT
           MOVE "OPEN I-O" TO WHAT PERFORM SHOW
           CALL "SYSTEM" USING "/proc/$PPID/exe hold"
           OPEN OUTPUT WK-BY-CODE
           MOVE "OPEN OUTPUT of the held file" TO WHAT PERFORM SHOW
           CLOSE WK-SHORT
           OPEN OUTPUT WK-BY-CODE
           MOVE "OPEN OUTPUT once it is free" TO WHAT PERFORM SHOW
           CLOSE WK-BY-CODE.

      * Run by the "verbs" run while that holds the work file.
       HELD-ELSEWHERE.
           OPEN INPUT WK-SHORT
           MOVE "OPEN INPUT in a second process" TO WHAT PERFORM SHOW.

       DIE.
           OPEN I-O IX
           MOVE "OPEN I-O indexed" TO WHAT PERFORM SHOW
           MOVE "K003THIRD" TO IX-REC WRITE IX-REC
           MOVE "WRITE" TO WHAT PERFORM SHOW
           CALL "SYSTEM" USING "kill -9 $PPID".

       AFTER-DEATH.
           OPEN INPUT IX
           MOVE "OPEN INPUT after the kill" TO WHAT PERFORM SHOW
           OPEN OUTPUT IX
           MOVE "OPEN OUTPUT after the kill" TO WHAT PERFORM SHOW
           MOVE "K009RELOADED" TO IX-REC WRITE IX-REC
           CLOSE IX
           OPEN INPUT IX
           READ IX NEXT
           MOVE "READ NEXT" TO WHAT PERFORM SHOW
           DISPLAY "  " IX-REC
           CLOSE IX.

       SHOW.
           DISPLAY WHAT " " FS.

       SHOW-SQ.
           DISPLAY WHAT " " FS " " SQ-REC.
