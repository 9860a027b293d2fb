       IDENTIFICATION DIVISION.
       PROGRAM-ID. WORK-FILES.
      * What a batch job does with its work files, each FILE STATUS
      * printed. Run as "verbs": CLOSE REEL, UNIT and NO REWIND on a
      * sequential file; an OPEN of a work file that another file of
      * this program holds (shared_files has one a second run holds).
      * Run as "die": adds a record to an indexed file and is killed
      * before it closes it. Run as "after": opens that file again,
      * then reloads it.
       ENVIRONMENT DIVISION.
       INPUT-OUTPUT SECTION.
       FILE-CONTROL.
           SELECT SQ ASSIGN TO "wf_sequential.dat"
               ORGANIZATION SEQUENTIAL FILE STATUS FS.
           SELECT IX ASSIGN TO "wf_indexed.dat"
               ORGANIZATION INDEXED ACCESS DYNAMIC RECORD KEY IX-KEY
               FILE STATUS FS.
      * One work file, two layouts; the second's alternate key lies
      * before its prime key.
           SELECT WK-SHORT ASSIGN TO "wf_work.dat"
               ORGANIZATION SEQUENTIAL FILE STATUS FS.
           SELECT WK-BY-NAME ASSIGN TO "wf_work.dat"
               ORGANIZATION INDEXED ACCESS DYNAMIC RECORD KEY BN-NAME
               ALTERNATE RECORD KEY BN-CODE FILE STATUS FS.
       DATA DIVISION.
       FILE SECTION.
       FD SQ.
       01 SQ-REC            PIC X(8).
       FD IX.
       01 IX-REC.
          05 IX-KEY         PIC X(4).
          05 IX-TEXT        PIC X(8).
       FD WK-SHORT.
       01 SH-REC            PIC X(8).
       FD WK-BY-NAME.
       01 BN-REC.
          05 BN-CODE        PIC X(4).
          05 BN-NAME        PIC X(8).
       WORKING-STORAGE SECTION.
       01 FS                PIC XX.
       01 ACTION            PIC X(8).
       01 WHAT              PIC X(32).
       PROCEDURE DIVISION.
       MAIN.
           ACCEPT ACTION FROM COMMAND-LINE
           EVALUATE ACTION
               WHEN "verbs" PERFORM REELS PERFORM REFUSED
               WHEN "die"   PERFORM DIE
               WHEN "after" PERFORM AFTER-DEATH
               WHEN OTHER   DISPLAY "usage: verbs|die|after"
           END-EVALUATE
           STOP RUN.

      * A disk file has no reels or units: REEL and UNIT give 07 and
      * the file goes on where it was; NO REWIND closes it with 07.
      * The indexed file is the one "die" adds to.
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

      * An OPEN that fails says why on stderr: the work file is held.
       REFUSED.
           OPEN OUTPUT WK-SHORT
           MOVE "SHORT" TO SH-REC WRITE SH-REC
           CLOSE WK-SHORT
           OPEN I-O WK-SHORT
           OPEN OUTPUT WK-BY-NAME
           MOVE "OPEN OUTPUT of the held file" TO WHAT PERFORM SHOW
           CLOSE WK-SHORT
           OPEN OUTPUT WK-BY-NAME
           MOVE "OPEN OUTPUT once it is free" TO WHAT PERFORM SHOW
           MOVE "C001ALPHA" TO BN-REC WRITE BN-REC
           MOVE "WRITE, the alternate key first" TO WHAT PERFORM SHOW
           CLOSE WK-BY-NAME.

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
